#include "server_tun.h"

#include <net/if.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/posix/wintun/tun_device.h"

namespace orvo_stand_in {
namespace {

using orvo_vpn_win_svc::platform::FileDescriptor;

ifreq Request(const std::string& name) {
  ifreq request{};
  std::memcpy(request.ifr_name, name.data(), std::min(name.size(), sizeof(request.ifr_name) - 1));
  return request;
}

void SetAddressField(ifreq& request, in_addr address) {
  sockaddr_in field{};
  field.sin_family = AF_INET;
  field.sin_addr = address;
  std::memcpy(&request.ifr_addr, &field, sizeof(field));
}

}  // namespace

FileDescriptor OpenServerTun(const ServerOptions& options, std::string& error) {
  orvo_vpn_win_svc::wintun::TunAttachment tun;
  const int attached = orvo_vpn_win_svc::wintun::AttachTunDevice(options.tun_name, true, tun);
  if (attached != 0) {
    error = "cannot create TUN device " + options.tun_name + ": " + std::strerror(attached);
    return {};
  }
  FileDescriptor control(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  ifreq address = Request(options.tun_name);
  SetAddressField(address, options.address);
  ifreq netmask = Request(options.tun_name);
  in_addr mask{};
  mask.s_addr = htonl(options.prefix_length == 0 ? 0 : ~0U << (32 - options.prefix_length));
  SetAddressField(netmask, mask);
  ifreq mtu = Request(options.tun_name);
  mtu.ifr_mtu = options.mtu;
  ifreq flags = Request(options.tun_name);
  if (!control.Valid() || ioctl(control.Get(), SIOCSIFADDR, &address) != 0 ||
      ioctl(control.Get(), SIOCSIFNETMASK, &netmask) != 0 ||
      ioctl(control.Get(), SIOCSIFMTU, &mtu) != 0 ||
      ioctl(control.Get(), SIOCGIFFLAGS, &flags) != 0) {
    error = "cannot configure " + options.tun_name + ": " + std::strerror(errno);
    return {};
  }
  flags.ifr_flags = static_cast<short>(flags.ifr_flags | IFF_UP);
  if (ioctl(control.Get(), SIOCSIFFLAGS, &flags) != 0) {
    error = "cannot raise " + options.tun_name + ": " + std::strerror(errno);
    return {};
  }
  return std::move(tun.descriptor);
}

}  // namespace orvo_stand_in
