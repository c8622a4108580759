#include "platform/text_encoding.h"

#include <cstdint>

namespace orvo_vpn_win_svc {
namespace {

constexpr char32_t kReplacement = 0xFFFD;

void AppendUtf8(std::string& out, char32_t code_point) {
  if (code_point < 0x80) {
    out.push_back(static_cast<char>(code_point));
  } else if (code_point < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (code_point >> 6)));
    out.push_back(static_cast<char>(0x80 | (code_point & 0x3F)));
  } else if (code_point < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (code_point >> 12)));
    out.push_back(static_cast<char>(0x80 | ((code_point >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (code_point & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (code_point >> 18)));
    out.push_back(static_cast<char>(0x80 | ((code_point >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((code_point >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (code_point & 0x3F)));
  }
}

}  // namespace

// Decodes well-formed UTF-8 (no overlong forms, no surrogates, nothing above U+10FFFF); each
// maximal ill-formed subsequence becomes one U+FFFD, the practice Windows follows too.
std::wstring Utf8ToWide(std::string_view text) {
  std::wstring wide;
  wide.reserve(text.size());
  size_t i = 0;
  while (i < text.size()) {
    const auto lead = static_cast<uint8_t>(text[i]);
    if (lead < 0x80) {
      wide.push_back(static_cast<wchar_t>(lead));
      ++i;
      continue;
    }
    size_t length = 0;
    char32_t code_point = 0;
    uint8_t low = 0x80;
    uint8_t high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
      length = 2;
      code_point = lead & 0x1Fu;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      length = 3;
      code_point = lead & 0x0Fu;
      if (lead == 0xE0) low = 0xA0;
      if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      length = 4;
      code_point = lead & 0x07u;
      if (lead == 0xF0) low = 0x90;
      if (lead == 0xF4) high = 0x8F;
    } else {
      wide.push_back(static_cast<wchar_t>(kReplacement));
      ++i;
      continue;
    }
    size_t taken = 1;
    bool complete = true;
    while (taken < length) {
      if (i + taken >= text.size()) {
        complete = false;
        break;
      }
      const auto next = static_cast<uint8_t>(text[i + taken]);
      const uint8_t min = taken == 1 ? low : 0x80;
      const uint8_t max = taken == 1 ? high : 0xBF;
      if (next < min || next > max) {
        complete = false;
        break;
      }
      code_point = (code_point << 6) | (next & 0x3Fu);
      ++taken;
    }
    wide.push_back(static_cast<wchar_t>(complete ? code_point : kReplacement));
    i += taken;
  }
  return wide;
}

std::string WideToUtf8(std::wstring_view text) {
  std::string out;
  out.reserve(text.size());
  for (const wchar_t c : text) {
    auto code_point = static_cast<char32_t>(c);
    if ((code_point >= 0xD800 && code_point <= 0xDFFF) || code_point > 0x10FFFF) {
      code_point = kReplacement;
    }
    AppendUtf8(out, code_point);
  }
  return out;
}

}  // namespace orvo_vpn_win_svc
