#pragma once

#include <cstdint>

#include <nlohmann/json.hpp>

namespace orvo_vpn_win_svc {

// Reads the member `key` of `object` into a signed 32-bit field: `fallback` when the member is
// missing, the number converted otherwise. Throws like the JSON library's own member access when
// `object` is not an object or the member is not a number (booleans count as 0 and 1, as the
// library converts them), and std::out_of_range when the number does not fit.
int32_t ReadInt32(const nlohmann::json& object, const char* key, int32_t fallback);

// Converts a JSON number to a signed 32-bit field. A floating-point number loses its fraction.
// A number outside the signed 32-bit range throws std::out_of_range naming `key`: a plain cast
// would wrap an integer into some unrelated value and is undefined for a floating-point one.
int32_t NumberToInt32(const nlohmann::json& number, const char* key);

}  // namespace orvo_vpn_win_svc
