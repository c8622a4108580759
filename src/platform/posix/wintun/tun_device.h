#pragma once

#include <string>

#include "platform/posix/file_descriptor.h"

namespace orvo_vpn_win_svc::wintun {

// A descriptor of /dev/net/tun attached to one layer-3 TUN device (no packet information
// header), in the network namespace of the calling thread.
struct TunAttachment {
  platform::FileDescriptor descriptor;
  bool was_persistent = false;  // the device existed (persistent) before this attachment
};

// Attaches to the TUN device `name`, which the kernel creates when there is none: then
// was_persistent is false and the device lives only as long as the descriptor, unless it is
// made persistent. `nonblocking` makes reads return EAGAIN instead of waiting. Returns 0 or a
// Linux errno value.
int AttachTunDevice(const std::string& name, bool nonblocking, TunAttachment& attachment);

// Makes the attached device outlive its descriptor (or not). Returns 0 or a Linux errno value.
int SetTunPersistent(const TunAttachment& attachment, bool persistent);

}  // namespace orvo_vpn_win_svc::wintun
