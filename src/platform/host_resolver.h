#pragma once

#include <memory>
#include <string>
#include <vector>

namespace orvo_vpn_win_svc::platform {

struct Ipv4Resolution {
  int error = 0;                       // getaddrinfo's result; 0 on success
  std::vector<std::string> addresses;  // dotted IPv4 texts, in the order the resolver gave them
};

// Name resolution to IPv4 addresses (getaddrinfo with AF_INET and SOCK_STREAM).
class HostResolver {
 public:
  virtual ~HostResolver() = default;
  virtual Ipv4Resolution ResolveIpv4(const std::string& host) = 0;
};

// The system's resolver. A name with an embedded NUL is refused rather than cut short.
std::shared_ptr<HostResolver> SystemHostResolver();

}  // namespace orvo_vpn_win_svc::platform
