#include "platform/ipv4_resolver.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <cstring>

namespace orvo_vpn_win_svc::platform {
namespace {

// The runtime starts Winsock at start-up; the resolver makes sure of it for callers that come
// before (or without) the runtime. WSAStartup counts its callers, so this never disturbs them.
void EnsureWinsock() {
  static const bool started = [] {
    WSADATA data{};
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  (void)started;
}

}  // namespace

Ipv4Resolution ResolveIpv4(const std::string& host) {
  EnsureWinsock();
  Ipv4Resolution resolution;
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_DGRAM;
  addrinfo* list = nullptr;
  resolution.code = getaddrinfo(host.c_str(), nullptr, &hints, &list);
  if (resolution.code != 0) {
    return resolution;
  }
  for (const addrinfo* entry = list; entry != nullptr; entry = entry->ai_next) {
    if (entry->ai_family != AF_INET || entry->ai_addr == nullptr) {
      continue;
    }
    sockaddr_in address{};
    std::memcpy(&address, entry->ai_addr, sizeof address);
    char text[22] = {};
    if (inet_ntop(AF_INET, &address.sin_addr, text, sizeof text) != nullptr) {
      resolution.addresses.emplace_back(text);
    }
  }
  freeaddrinfo(list);
  return resolution;
}

}  // namespace orvo_vpn_win_svc::platform
