#include "runtime/endpoint_parser.h"

#include "runtime/decimal_integer.h"

namespace orvo_vpn_win_svc {

std::optional<ServerEndpoint> ParseEndpoint(std::string_view text) {
  const size_t colon = text.find(':');
  if (text.empty() || colon == std::string_view::npos) {
    return std::nullopt;
  }
  const std::optional<int32_t> port = ReadDecimalInteger(text.substr(colon + 1));
  if (!port || *port < 1 || *port > 65535) {
    return std::nullopt;
  }
  return ServerEndpoint{std::string(text.substr(0, colon)), static_cast<uint16_t>(*port)};
}

}  // namespace orvo_vpn_win_svc
