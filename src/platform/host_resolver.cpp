#include "platform/host_resolver.h"

#include <cstring>
#include <string>

#include "platform/socket_compat.h"

namespace orvo_vpn_win_svc::platform {
namespace {

// Winsock must be started before getaddrinfo answers; WSAStartup counts its callers, so starting
// it here never disturbs the runtime's own start-up.
void EnsureSocketLibrary() {
#ifdef _WIN32
  static const bool started = [] {
    WSADATA data{};
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  (void)started;
#endif
}

class SystemResolver : public HostResolver {
 public:
  Ipv4Resolution ResolveIpv4(const std::string& host) override {
    return platform::ResolveIpv4(host, SocketKind::kStream);
  }
};

}  // namespace

Ipv4Resolution ResolveIpv4(const std::string& host, SocketKind kind) {
  if (host.find('\0') != std::string::npos) {
    return {EAI_NONAME, {}};
  }
  EnsureSocketLibrary();
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = kind == SocketKind::kStream ? SOCK_STREAM : SOCK_DGRAM;
  addrinfo* results = nullptr;
  const int error = getaddrinfo(host.c_str(), nullptr, &hints, &results);
  if (error != 0) {
    return {error, {}};
  }
  Ipv4Resolution resolution;
  for (const addrinfo* entry = results; entry != nullptr; entry = entry->ai_next) {
    if (entry->ai_family != AF_INET || entry->ai_addr == nullptr) {
      continue;
    }
    sockaddr_in address{};
    std::memcpy(&address, entry->ai_addr, sizeof(address));
    char text[INET_ADDRSTRLEN] = {};
    if (inet_ntop(AF_INET, &address.sin_addr, text, sizeof(text)) != nullptr) {
      resolution.addresses.emplace_back(text);
    }
  }
  freeaddrinfo(results);
  return resolution;
}

bool FirstIpv4Address(const Ipv4Resolution& resolution, const std::string& host,
                      std::string& address, std::string& error) {
  if (resolution.error != 0) {
    error = "DNS resolution failed for " + host + ": " + std::to_string(resolution.error);
    return false;
  }
  if (resolution.addresses.empty()) {
    error = "No addresses found for " + host;
    return false;
  }
  address = resolution.addresses.front();
  return true;
}

std::shared_ptr<HostResolver> SystemHostResolver() {
  return std::make_shared<SystemResolver>();
}

}  // namespace orvo_vpn_win_svc::platform
