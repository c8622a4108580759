#include "platform/host_resolver.h"

#include <cstring>

#include "platform/socket_compat.h"

namespace orvo_vpn_win_svc::platform {
namespace {

// On Windows, Winsock must have been started (WSAStartup) by the process; otherwise getaddrinfo
// reports WSANOTINITIALISED and that code is what the caller sees.
class SystemResolver : public HostResolver {
 public:
  Ipv4Resolution ResolveIpv4(const std::string& host) override {
    if (host.find('\0') != std::string::npos) {
      return {EAI_NONAME, {}};
    }
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* results = nullptr;
    const int error = getaddrinfo(host.c_str(), nullptr, &hints, &results);
    if (error != 0) {
      return {error, {}};
    }
    Ipv4Resolution resolution;
    for (const addrinfo* entry = results; entry != nullptr; entry = entry->ai_next) {
      sockaddr_in address{};
      std::memcpy(&address, entry->ai_addr, sizeof(address));
      char text[22] = {};
      if (inet_ntop(AF_INET, &address.sin_addr, text, sizeof(text)) != nullptr) {
        resolution.addresses.emplace_back(text);
      }
    }
    freeaddrinfo(results);
    return resolution;
  }
};

}  // namespace

std::shared_ptr<HostResolver> SystemHostResolver() {
  return std::make_shared<SystemResolver>();
}

}  // namespace orvo_vpn_win_svc::platform
