#include "platform/socket_address.h"

#include <cstring>

namespace orvo_vpn_win_svc::platform {

std::optional<sockaddr_in> Ipv4SocketAddress(const IpAddress& address, uint16_t port) {
  if (address.family != IpAddress::Family::kIpv4) {
    return std::nullopt;
  }
  sockaddr_in socket_address{};
  socket_address.sin_family = AF_INET;
  socket_address.sin_port = htons(port);
  std::memcpy(&socket_address.sin_addr, address.bytes.data(), 4);
  return socket_address;
}

}  // namespace orvo_vpn_win_svc::platform
