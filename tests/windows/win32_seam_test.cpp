// Win32-only parts of the seam that the portable tests cannot reach, run under Wine.
#include <gtest/gtest.h>

#include "platform/network_devices.h"
#include "platform/system_paths.h"
#include "support/platform_kind.h"

namespace orvo_vpn_win_svc {
namespace {

#define ORVO_WINDOWS_ONLY()                                             \
  if (!orvo_test::kWindows) {                                           \
    GTEST_SKIP() << "Win32 behaviour; runs in the Windows tier (Wine)"; \
  }

TEST(Win32Seam, SetupApiListsPresentNetworkAdaptersWithTheirTexts) {
  ORVO_WINDOWS_ONLY();
  platform::DeviceSetOpening opening = platform::SystemNetworkDevices().OpenPresent();
  ASSERT_TRUE(opening.set) << "SetupDiGetClassDevsW failed: " << opening.error;
  // Wine may present no network adapter at all; whatever it lists must be readable.
  for (const auto& device : opening.set->Devices()) {
    if (device.description) {
      EXPECT_LT(device.description->size(), 256U);
    }
  }
  // Removing a device that is not in the set is refused, not attempted.
  EXPECT_NE(opening.set->Remove(100000).outcome, platform::DeviceRemoval::Outcome::kRemoved);
}

TEST(Win32Seam, ExecutablePathIsTheRunningExe) {
  ORVO_WINDOWS_ONLY();
  const std::wstring path = platform::ExecutablePath();
  ASSERT_GT(path.size(), 4U);
  EXPECT_EQ(path.substr(path.size() - 4), L".exe");
  EXPECT_NE(path.find(L'\\'), std::wstring::npos);
  EXPECT_TRUE(platform::PathExists(path));
  EXPECT_FALSE(platform::PathExists(path + L".missing"));
}

// Wine installs no Wintun driver, so its service key is absent and a Hysteria2 connect is
// refused there before anything is started.
TEST(Win32Seam, WintunDriverProbeFindsNoServiceKeyUnderWine) {
  ORVO_WINDOWS_ONLY();
  if (!orvo_test::RunningUnderWine()) {
    GTEST_SKIP() << "on real Windows the answer depends on the machine";
  }
  EXPECT_FALSE(platform::WintunDriverInstalled());
}

}  // namespace
}  // namespace orvo_vpn_win_svc
