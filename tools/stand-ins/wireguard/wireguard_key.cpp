#include "wireguard_key.h"

#include <cstring>

namespace orvo_stand_in {
namespace {

// The value of a base64 character, or -1.
int Base64Value(char c) {
  if (c >= 'A' && c <= 'Z')
    return c - 'A';
  if (c >= 'a' && c <= 'z')
    return c - 'a' + 26;
  if (c >= '0' && c <= '9')
    return c - '0' + 52;
  if (c == '+')
    return 62;
  if (c == '/')
    return 63;
  return -1;
}

}  // namespace

bool IsWireGuardKey(const char* text) {
  // 32 bytes = 256 bits: 42 characters of 6 bits, a 43rd carrying the last 4 bits, then '='.
  constexpr size_t kEncodedLength = 44;
  if (text == nullptr || std::strlen(text) != kEncodedLength || text[43] != '=') {
    return false;
  }
  for (size_t i = 0; i < 43; ++i) {
    if (Base64Value(text[i]) < 0) {
      return false;
    }
  }
  return (Base64Value(text[42]) & 0x3) == 0;
}

}  // namespace orvo_stand_in
