#include "platform/ipv4_literal.h"

#include <string>

#include "platform/socket_compat.h"

namespace orvo_vpn_win_svc::platform {

std::optional<uint32_t> ParseIpv4Literal(std::string_view text) {
  if (text.find('\0') != std::string_view::npos) {
    return std::nullopt;
  }
  const std::string terminated(text);
  in_addr address{};
  if (inet_pton(AF_INET, terminated.c_str(), &address) != 1) {
    return std::nullopt;
  }
  return ntohl(address.s_addr);
}

}  // namespace orvo_vpn_win_svc::platform
