#pragma once

#include <memory>
#include <string>
#include <vector>

namespace orvo_vpn_win_svc::platform {

struct Ipv4Resolution {
  int error = 0;                       // getaddrinfo's result; 0 on success
  std::vector<std::string> addresses;  // dotted IPv4 texts, in the order the resolver gave them
};

// The socket type handed to getaddrinfo; it decides nothing about the addresses, but callers
// ask the way their protocols do.
enum class SocketKind { kStream, kDatagram };

// getaddrinfo for `host` with family AF_INET and the given socket type, no service. A name with
// an embedded NUL is refused rather than cut short. Starts Winsock on Windows when nobody has.
Ipv4Resolution ResolveIpv4(const std::string& host, SocketKind kind);

// The first address `resolution` gives for `host`. On failure false, with the reason in the
// service's words: "DNS resolution failed for HOST: CODE", or "No addresses found for HOST".
bool FirstIpv4Address(const Ipv4Resolution& resolution, const std::string& host,
                      std::string& address, std::string& error);

// Name resolution to IPv4 addresses (getaddrinfo with AF_INET and SOCK_STREAM), injectable.
class HostResolver {
 public:
  virtual ~HostResolver() = default;
  virtual Ipv4Resolution ResolveIpv4(const std::string& host) = 0;
};

// The system's resolver.
std::shared_ptr<HostResolver> SystemHostResolver();

}  // namespace orvo_vpn_win_svc::platform
