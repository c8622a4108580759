#include "runtime/decimal_integer.h"

namespace orvo_vpn_win_svc {
namespace {

// White space of the "C" locale, which the service never changes.
bool IsSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

}  // namespace

std::optional<int32_t> ReadDecimalInteger(std::string_view text) {
  size_t at = 0;
  while (at < text.size() && IsSpace(text[at])) {
    ++at;
  }
  bool negative = false;
  if (at < text.size() && (text[at] == '+' || text[at] == '-')) {
    negative = text[at] == '-';
    ++at;
  }
  // The magnitude stops growing once it is out of range, however many digits follow.
  constexpr int64_t kBeyondRange = int64_t{INT32_MAX} + 2;
  int64_t magnitude = 0;
  size_t digits = 0;
  for (; at < text.size() && IsDigit(text[at]); ++at, ++digits) {
    if (magnitude < kBeyondRange) {
      magnitude = magnitude * 10 + (text[at] - '0');
    }
  }
  if (digits == 0) {
    return std::nullopt;
  }
  const int64_t value = negative ? -magnitude : magnitude;
  if (value < INT32_MIN || value > INT32_MAX) {
    return std::nullopt;
  }
  return static_cast<int32_t>(value);
}

}  // namespace orvo_vpn_win_svc
