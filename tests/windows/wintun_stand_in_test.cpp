// The wintun.dll stand-in of the Windows build: it loads through the service's loader seam with
// every entry point, and behaves as far as the Wine tier needs it to.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "platform/dynamic_library.h"
#include "runtime/tunnel_library_tables.h"
#include "support/platform_kind.h"
#include "support/tunnel_libraries.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace orvo_vpn_win_svc {
namespace {

uint32_t LastError() {
#ifdef _WIN32
  return GetLastError();
#else
  return 0;
#endif
}

TEST(WintunStandIn, LoadsWithEveryEntryPointAndKeepsAnAdapterInMemory) {
  if (!orvo_test::kWindows) {
    GTEST_SKIP() << "the wintun.dll stand-in is built for the Windows tier only";
  }
  const platform::LibraryLoad load = platform::LoadDynamicLibrary(orvo_test::WintunStandInPath());
  ASSERT_NE(load.library, nullptr) << "error " << load.error;
  WintunFunctions wintun;
  std::vector<std::string> missing;
  ASSERT_TRUE(orvo_test::FillWintunTable(*load.library, wintun, missing))
      << "missing " << missing.front();

  EXPECT_EQ(wintun.OpenAdapter(L"ORVO VPN"), nullptr);
  EXPECT_EQ(LastError(), 2u) << "ERROR_FILE_NOT_FOUND before the adapter exists";
  void* adapter = wintun.CreateAdapter(L"ORVO VPN", L"WireGuard", nullptr);
  ASSERT_NE(adapter, nullptr);
  void* opened = wintun.OpenAdapter(L"ORVO VPN");
  EXPECT_NE(opened, nullptr);
  uint64_t luid = 0;
  wintun.GetAdapterLUID(adapter, &luid);
  EXPECT_NE(luid, 0u);

  void* session = wintun.StartSession(adapter, 0x400000);
  ASSERT_NE(session, nullptr);
  uint32_t size = 0;
  EXPECT_EQ(wintun.ReceivePacket(session, &size), nullptr);
  EXPECT_EQ(LastError(), 259u) << "ERROR_NO_MORE_ITEMS";
  uint8_t* buffer = wintun.AllocateSendPacket(session, 1420);
  ASSERT_NE(buffer, nullptr);
  wintun.SendPacket(session, buffer);
  wintun.EndSession(session);

  wintun.CloseAdapter(opened);
  EXPECT_EQ(wintun.DeleteAdapter(adapter), 1);
  EXPECT_EQ(wintun.OpenAdapter(L"ORVO VPN"), nullptr);
}

}  // namespace
}  // namespace orvo_vpn_win_svc
