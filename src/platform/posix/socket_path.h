#pragma once

#include <string>

namespace orvo_vpn_win_svc::platform {

// Where the pipe `\\.\pipe\NAME` lives on Linux: the socket NAME in $ORVO_PIPE_DIR, or in
// /run/orvo-vpn when that is not set.
std::string PipeSocketDirectory();
std::string PipeSocketPath(const std::wstring& pipe_name);

}  // namespace orvo_vpn_win_svc::platform
