#include "runtime/network_parser.h"

#include "platform/ipv4_literal.h"
#include "runtime/decimal_integer.h"

namespace orvo_vpn_win_svc {

std::optional<Ipv4Network> ParseNetwork(std::string_view text) {
  const size_t slash = text.find('/');
  if (text.empty() || slash == std::string_view::npos) {
    return std::nullopt;
  }
  const std::optional<int32_t> prefix_length = ReadDecimalInteger(text.substr(slash + 1));
  if (!prefix_length || *prefix_length < 0 || *prefix_length > 32) {
    return std::nullopt;
  }
  const std::optional<uint32_t> address = platform::ParseIpv4Literal(text.substr(0, slash));
  if (!address) {
    return std::nullopt;
  }
  return Ipv4Network{platform::IpAddress::Ipv4(*address), static_cast<uint8_t>(*prefix_length)};
}

}  // namespace orvo_vpn_win_svc
