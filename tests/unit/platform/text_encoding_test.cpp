#include "platform/text_encoding.h"

#include <gtest/gtest.h>

namespace orvo_vpn_win_svc {
namespace {

// Valid text converts exactly and round-trips (a character beyond the BMP is a surrogate pair on
// Windows, which is what the literal L"\U0001D11E" holds there). Each maximal ill-formed
// subsequence becomes one U+FFFD: Windows converts with MultiByteToWideChar, whose count of
// U+FFFD is not pinned; our own decoder (32-bit wide characters) is held to the exact text.
TEST(TextEncoding, ValidTextRoundTripsAndInvalidInputIsReplaced) {
  const std::pair<std::string, std::wstring> rows[] = {
      {"", L""}, {"C:\\app.exe", L"C:\\app.exe"}, {"\xC3\x9C" "ber", L"\u00DCber"},
      {"\xE2\x82\xAC", L"\u20AC"}, {"a\xF0\x9D\x84\x9E" "b", L"a\U0001D11Eb"},
      {"\x7F\xC2\x80\xEF\xBF\xBF\xF4\x8F\xBF\xBF", L"\x7F\x80\uFFFF\U0010FFFF"},
      {"<\xFF>", L"<\uFFFD>"}, {"<\x80>", L"<\uFFFD>"}, {"<\xE2\x82>", L"<\uFFFD>"},
      {"<>\xF0\x9D\x84", L"<>\uFFFD"}, {"<\xC0\xAF>", L"<\uFFFD\uFFFD>"},
      {"<\xC1\xBF>", L"<\uFFFD\uFFFD>"}, {"<\xE0\x80\xAF>", L"<\uFFFD\uFFFD\uFFFD>"},
      {"<\xED\xA0\x80>", L"<\uFFFD\uFFFD\uFFFD>"},
      {"<\xF4\x90\x80\x80>", L"<\uFFFD\uFFFD\uFFFD\uFFFD>"}};
  for (const auto& [utf8, wide] : rows) {
    const std::wstring got = Utf8ToWide(utf8);
    if (wide.find(L'\uFFFD') == std::wstring::npos) {
      EXPECT_EQ(got, wide) << utf8;
      EXPECT_EQ(WideToUtf8(wide), utf8);
    } else if (sizeof(wchar_t) == 4) {
      EXPECT_EQ(got, wide) << utf8;
    } else {
      EXPECT_NE(got.find(L'\uFFFD'), std::wstring::npos) << utf8;
    }
  }
}

}  // namespace
}  // namespace orvo_vpn_win_svc
