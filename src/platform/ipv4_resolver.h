#pragma once

#include <string>
#include <vector>

namespace orvo_vpn_win_svc::platform {

struct Ipv4Resolution {
  int code = 0;                        // getaddrinfo's result code; 0 on success
  std::vector<std::string> addresses;  // dotted IPv4 addresses, in the resolver's order
};

// getaddrinfo for `host` with family AF_INET and socket type SOCK_DGRAM, no service.
Ipv4Resolution ResolveIpv4(const std::string& host);

}  // namespace orvo_vpn_win_svc::platform
