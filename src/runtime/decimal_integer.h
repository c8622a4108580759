#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace orvo_vpn_win_svc {

// Reads a decimal integer the way the standard string-to-integer conversion does: leading white
// space and one sign are accepted, reading stops at the first character that is not a digit,
// at least one digit is required, and a value outside the signed 32-bit range is refused.
std::optional<int32_t> ReadDecimalInteger(std::string_view text);

}  // namespace orvo_vpn_win_svc
