#include <gtest/gtest.h>

#include <string>

#include "platform/posix/linux_luid.h"
#include "platform/posix/wintun/adapter_names.h"

namespace orvo_vpn_win_svc {
namespace {

TEST(WintunAdapterNames, MapsAdapterNamesToLinuxInterfaceNames) {
  struct Case {
    std::wstring adapter;
    std::string linux_name;  // empty: refused
  };
  const Case cases[] = {
      {L"ORVO VPN", "ORVO-VPN"},
      {L"OrvoVPN", "OrvoVPN"},
      {L" a b ", "-a-b-"},
      {L"exactly-15-char", "exactly-15-char"},
      {L"sixteen-chars-xx", ""},  // never shortened
      {L"", ""},
      {L".", ""},
      {L"..", ""},
      {L"a/b", ""},
      {L"a:b", ""},
      {L"tab\there", ""},
      {L"caf\u00e9", ""},  // ASCII only
  };
  for (const Case& c : cases) {
    EXPECT_EQ(wintun::LinuxInterfaceName(c.adapter), c.linux_name) << WideToUtf8(c.adapter);
  }
}

TEST(WintunAdapterNames, DescriptionNamesWintunForTheCleanUp) {
  EXPECT_EQ(wintun::AdapterDescription(L"WireGuard"), "WireGuard (Wintun)");
  EXPECT_EQ(wintun::AdapterDescription(L""), "Wintun");
  EXPECT_EQ(wintun::AdapterDescription(L"T\u00fcnnel"), "T\xc3\xbcnnel (Wintun)");
  EXPECT_EQ(wintun::AdapterDescription(std::wstring(246, L'x')).size(), 255u);
  EXPECT_EQ(wintun::AdapterDescription(std::wstring(247, L'x')), "") << "longer than an alias";
}

TEST(LinuxLuid, MapsEveryInterfaceIndexAndBack) {
  for (const int index : {1, 2, 0xFFFFFF, 0x1000000, 0x7FFFFFFF}) {
    const uint64_t luid = platform::LuidFromInterfaceIndex(index);
    EXPECT_EQ(luid >> 48, 53u) << "IF_TYPE_PROP_VIRTUAL in the type field";
    EXPECT_EQ(platform::InterfaceIndexFromLuid(luid), index);
  }
  EXPECT_EQ(platform::LuidFromInterfaceIndex(0), 0u);
  EXPECT_EQ(platform::LuidFromInterfaceIndex(-3), 0u);
  // Values that no Linux index maps to name no interface.
  for (const uint64_t foreign :
       {uint64_t{0}, uint64_t{0x0035000000000000}, uint64_t{0x0006000000000005},
        uint64_t{0x0035000100000005}, uint64_t{0x0035000080000000}}) {
    EXPECT_EQ(platform::InterfaceIndexFromLuid(foreign), 0) << std::hex << foreign;
  }
}

}  // namespace
}  // namespace orvo_vpn_win_svc
