#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "platform/ip_helper.h"

namespace orvo_vpn_win_svc {

// One allowed network of a connect request, as written: the address is not masked to its
// prefix, so "10.1.2.3/8" keeps 10.1.2.3.
struct Ipv4Network {
  platform::IpAddress address;  // IPv4, network byte order in its first four bytes
  uint8_t prefix_length = 0;
};

// Network parser: "a.b.c.d/n", split at the first '/'. The prefix length is read as a decimal
// integer (see ReadDecimalInteger) and must lie in 0 to 32; the address must be a dotted IPv4
// literal as inet_pton reads it.
std::optional<Ipv4Network> ParseNetwork(std::string_view text);

}  // namespace orvo_vpn_win_svc
