#include <gtest/gtest.h>

#include <string>

#include "platform/posix/linux_luid.h"
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

// Interface indexes map to LUIDs of type IF_TYPE_PROP_VIRTUAL (53) and back; values no index
// maps to name no interface.
TEST(LinuxLuid, MapsEveryInterfaceIndexAndBack) {
  for (const int index : {1, 0xFFFFFF, 0x1000000, 0x7FFFFFFF}) {
    const uint64_t luid = platform::LuidFromInterfaceIndex(index);
    EXPECT_EQ(luid >> 48, 53u);
    EXPECT_EQ(platform::InterfaceIndexFromLuid(luid), index);
  }
  EXPECT_EQ(platform::LuidFromInterfaceIndex(0) + platform::LuidFromInterfaceIndex(-3), 0u);
  for (const uint64_t foreign : {uint64_t{0}, uint64_t{0x0035000000000000},
                                 uint64_t{0x0006000000000005}, uint64_t{0x0035000100000005}}) {
    EXPECT_EQ(platform::InterfaceIndexFromLuid(foreign), 0) << std::hex << foreign;
  }
}

}  // namespace
}  // namespace orvo_vpn_win_svc
