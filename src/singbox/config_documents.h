#pragma once

#include <cstdint>
#include <string>

#include "ipc/request_records.h"

namespace orvo_vpn_win_svc {

// The TUN interface that sing-box is to create for a Hysteria2 tunnel.
struct TunOptions {
  std::string inet4_address;
  std::string inet6_address;
  int32_t mtu = 0;
  bool auto_route = false;
  bool strict_route = false;
  std::string stack;
  std::string route_exclude_address;
};

// What the relay document is built from: the relay request after its domain was resolved.
struct RelayConfigInput {
  std::string relay_domain;
  std::string resolved_address;
  int32_t relay_port = 443;
  std::string password;
  std::string obfs_password;
  int32_t local_port = 10808;
};

// The three configuration documents handed to sing-box on its standard input: pure functions,
// 2-space indentation, keys in ascending byte order, non-ASCII as raw UTF-8. A document holding
// a text that is not valid UTF-8 cannot be written faithfully: the result is then empty.
std::string BuildHysteria2Config(const Hysteria2ConnectRequest& request, const TunOptions& tun);
std::string BuildHysteria2TorConfig(const Hysteria2ConnectRequest& request, const TunOptions& tun);
std::string BuildRelayConfig(const RelayConfigInput& relay);

}  // namespace orvo_vpn_win_svc
