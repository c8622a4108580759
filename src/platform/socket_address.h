#pragma once

#include <cstdint>
#include <optional>

#include "platform/ip_helper.h"
#include "platform/socket_compat.h"

namespace orvo_vpn_win_svc::platform {

// The socket address of an IPv4 `address` and `port` (host order); nothing for IPv6.
std::optional<sockaddr_in> Ipv4SocketAddress(const IpAddress& address, uint16_t port);

}  // namespace orvo_vpn_win_svc::platform
