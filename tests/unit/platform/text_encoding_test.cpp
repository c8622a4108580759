#include <gtest/gtest.h>

#include <algorithm>
#include <ostream>
#include <string>

#include "platform/text_encoding.h"

namespace orvo_vpn_win_svc {
namespace {

// Windows converts with MultiByteToWideChar, elsewhere our own decoder runs. Both replace invalid
// input with U+FFFD; how many U+FFFD a broken multi-byte sequence yields is pinned only for our
// own decoder, whose wide characters are 32 bits.
bool OwnDecoder() { return sizeof(wchar_t) == 4; }

struct Utf8Case {
  const char* name;
  std::string utf8;
  std::wstring wide;
};

// Names the case in test output instead of dumping its bytes.
void PrintTo(const Utf8Case& c, std::ostream* os) { *os << c.name; }

std::string CaseName(const testing::TestParamInfo<Utf8Case>& info) { return info.param.name; }

class Utf8ToWideValid : public testing::TestWithParam<Utf8Case> {};

// Valid text converts exactly (a character beyond the BMP is a surrogate pair on Windows, which
// is what the literal L"\U0001D11E" holds there) and round-trips.
TEST_P(Utf8ToWideValid, ConvertsAndRoundTrips) {
  EXPECT_EQ(Utf8ToWide(GetParam().utf8), GetParam().wide);
  EXPECT_EQ(WideToUtf8(GetParam().wide), GetParam().utf8);
}

INSTANTIATE_TEST_SUITE_P(
    TextEncoding, Utf8ToWideValid,
    testing::Values(Utf8Case{"Empty", "", L""}, Utf8Case{"Ascii", "C:\\app.exe", L"C:\\app.exe"},
                    Utf8Case{"TwoBytes", "\xC3\x9C" "ber", L"\u00DCber"},
                    Utf8Case{"ThreeBytes", "\xE2\x82\xAC", L"\u20AC"},
                    Utf8Case{"FourBytes", "a\xF0\x9D\x84\x9E" "b", L"a\U0001D11Eb"},
                    Utf8Case{"Limits", "\x7F\xC2\x80\xEF\xBF\xBF\xF4\x8F\xBF\xBF",
                             L"\x7F\x80\uFFFF\U0010FFFF"}),
    CaseName);

class Utf8ToWideInvalid : public testing::TestWithParam<Utf8Case> {};

TEST_P(Utf8ToWideInvalid, ReplacesInsteadOfFailing) {
  const std::wstring wide = Utf8ToWide(GetParam().utf8);
  if (OwnDecoder()) {
    EXPECT_EQ(wide, GetParam().wide);
    return;
  }
  // Everywhere: a replacement character, and the text around it survives.
  EXPECT_NE(wide.find(L'\uFFFD'), std::wstring::npos);
  EXPECT_EQ(wide.substr(0, 1), L"<");
  if (GetParam().utf8.back() == '>') {
    EXPECT_EQ(wide.back(), L'>');
  }
}

// Each maximal ill-formed subsequence becomes one U+FFFD.
INSTANTIATE_TEST_SUITE_P(
    TextEncoding, Utf8ToWideInvalid,
    testing::Values(Utf8Case{"LoneHighByte", "<\xFF>", L"<\uFFFD>"},
                    Utf8Case{"LoneContinuation", "<\x80>", L"<\uFFFD>"},
                    Utf8Case{"TruncatedThreeBytes", "<\xE2\x82>", L"<\uFFFD>"},
                    Utf8Case{"TruncatedAtEnd", "<>\xF0\x9D\x84", L"<>\uFFFD"},
                    Utf8Case{"Overlong", "<\xC0\xAF>", L"<\uFFFD\uFFFD>"},
                    Utf8Case{"OverlongThreeBytes", "<\xE0\x80\xAF>", L"<\uFFFD\uFFFD\uFFFD>"},
                    Utf8Case{"Surrogate", "<\xED\xA0\x80>", L"<\uFFFD\uFFFD\uFFFD>"},
                    Utf8Case{"BeyondUnicode", "<\xF4\x90\x80\x80>",
                             L"<\uFFFD\uFFFD\uFFFD\uFFFD>"}),
    CaseName);

}  // namespace
}  // namespace orvo_vpn_win_svc
