#include "ipc/json_members.h"

#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>

namespace orvo_vpn_win_svc {
namespace {

constexpr int64_t kMin = std::numeric_limits<int32_t>::min();
constexpr int64_t kMax = std::numeric_limits<int32_t>::max();

[[noreturn]] void ThrowOutOfRange(const char* key) {
  throw std::out_of_range(std::string("number out of range for ") + key + " (signed 32-bit)");
}

}  // namespace

int32_t ReadInt32(const nlohmann::json& object, const char* key, int32_t fallback) {
  // value() keeps the library's error for a non-object; a missing member yields the fallback.
  const nlohmann::json member = object.value(key, nlohmann::json(fallback));
  return NumberToInt32(member, key);
}

int32_t NumberToInt32(const nlohmann::json& number, const char* key) {
  if (number.is_number_float()) {
    const double whole = std::trunc(number.get<double>());
    // Written so that NaN fails too.
    if (!(whole >= static_cast<double>(kMin) && whole <= static_cast<double>(kMax))) {
      ThrowOutOfRange(key);
    }
    return static_cast<int32_t>(whole);
  }
  if (number.is_number_unsigned()) {
    if (number.get<uint64_t>() > static_cast<uint64_t>(kMax)) {
      ThrowOutOfRange(key);
    }
    return static_cast<int32_t>(number.get<uint64_t>());
  }
  if (number.is_number_integer()) {
    const int64_t value = number.get<int64_t>();
    if (value < kMin || value > kMax) {
      ThrowOutOfRange(key);
    }
    return static_cast<int32_t>(value);
  }
  // Booleans convert; every other type throws the library's type error.
  return number.get<int32_t>();
}

}  // namespace orvo_vpn_win_svc
