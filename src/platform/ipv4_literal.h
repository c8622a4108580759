#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace orvo_vpn_win_svc::platform {

// The address of a dotted IPv4 literal, in host byte order, as inet_pton(AF_INET) reads it;
// nothing for any other text (including text with an embedded NUL).
std::optional<uint32_t> ParseIpv4Literal(std::string_view text);

}  // namespace orvo_vpn_win_svc::platform
