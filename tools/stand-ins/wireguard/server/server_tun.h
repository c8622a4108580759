#pragma once

#include <string>

#include "platform/posix/file_descriptor.h"
#include "server_options.h"

namespace orvo_stand_in {

// Creates the server's own TUN device (gone when the descriptor closes), gives it the address,
// prefix and MTU of `options` and raises it. The descriptor is non-blocking. On failure the
// descriptor is invalid and `error` says why.
orvo_vpn_win_svc::platform::FileDescriptor OpenServerTun(const ServerOptions& options,
                                                         std::string& error);

}  // namespace orvo_stand_in
