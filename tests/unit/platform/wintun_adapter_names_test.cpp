#include <gtest/gtest.h>

#include <string>

#include "platform/posix/wintun/adapter_names.h"
#include "platform/text_encoding.h"

namespace orvo_vpn_win_svc {
namespace {

// Adapter names become Linux interface names ("" when refused: never shortened, ASCII only);
// descriptions name Wintun, which the clean-up looks for.
TEST(WintunAdapterNames, MapToInterfaceNamesAndDescriptions) {
  const std::pair<std::wstring, std::string> names[] = {
      {L"ORVO VPN", "ORVO-VPN"}, {L" a b ", "-a-b-"}, {L"exactly-15-char", "exactly-15-char"},
      {L"sixteen-chars-xx", ""}, {L"", ""}, {L".", ""}, {L"..", ""}, {L"a/b", ""},
      {L"a:b", ""}, {L"tab\there", ""}, {L"caf\u00e9", ""}};
  for (const auto& [adapter, name] : names) {
    EXPECT_EQ(wintun::LinuxInterfaceName(adapter), name) << WideToUtf8(adapter);
  }
  EXPECT_EQ(wintun::AdapterDescription(L"WireGuard"), "WireGuard (Wintun)");
  EXPECT_EQ(wintun::AdapterDescription(L""), "Wintun");
  EXPECT_EQ(wintun::AdapterDescription(L"T\u00fcnnel"), "T\xc3\xbcnnel (Wintun)");
  EXPECT_EQ(wintun::AdapterDescription(std::wstring(246, L'x')).size(), 255u);
  EXPECT_EQ(wintun::AdapterDescription(std::wstring(247, L'x')), "") << "longer than an alias";
}

}  // namespace
}  // namespace orvo_vpn_win_svc
