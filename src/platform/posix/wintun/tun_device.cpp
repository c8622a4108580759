#include "tun_device.h"

#include <fcntl.h>
#include <linux/if.h>
#include <linux/if_tun.h>
#include <sys/ioctl.h>

#include <cerrno>
#include <cstring>

namespace orvo_vpn_win_svc::wintun {

int AttachTunDevice(const std::string& name, bool nonblocking, TunAttachment& attachment) {
  if (name.empty() || name.size() >= IFNAMSIZ) {
    return EINVAL;
  }
  const int open_flags = O_RDWR | O_CLOEXEC | (nonblocking ? O_NONBLOCK : 0);
  platform::FileDescriptor descriptor(::open("/dev/net/tun", open_flags));
  if (!descriptor.Valid()) {
    return errno;
  }
  ifreq request{};
  std::memcpy(request.ifr_name, name.data(), name.size());
  request.ifr_flags = static_cast<short>(IFF_TUN | IFF_NO_PI);
  if (ioctl(descriptor.Get(), TUNSETIFF, &request) != 0) {
    return errno;
  }
  // The flags read back tell a device that was already there (persistent) from a new one.
  ifreq current{};
  if (ioctl(descriptor.Get(), TUNGETIFF, &current) != 0) {
    return errno;
  }
  attachment.was_persistent = (current.ifr_flags & IFF_PERSIST) != 0;
  attachment.descriptor = std::move(descriptor);
  return 0;
}

int SetTunPersistent(const TunAttachment& attachment, bool persistent) {
  if (ioctl(attachment.descriptor.Get(), TUNSETPERSIST, persistent ? 1UL : 0UL) != 0) {
    return errno;
  }
  return 0;
}

}  // namespace orvo_vpn_win_svc::wintun
