#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace orvo_vpn_win_svc {

// The WireGuard server of a connect request: host name or IPv4 literal, and UDP port.
struct ServerEndpoint {
  std::string host;  // may be empty; resolving it then fails
  uint16_t port = 0;
};

// Endpoint parser: "host:port", split at the first ':'. The port is read as a decimal integer
// (see ReadDecimalInteger; "51820abc" gives 51820) and must lie in 1 to 65535.
std::optional<ServerEndpoint> ParseEndpoint(std::string_view text);

}  // namespace orvo_vpn_win_svc
