#include <gtest/gtest.h>

#include <cwctype>

#include "fakes/fake_network_devices.h"
#include "fakes/fake_process_table.h"
#include "platform/log_capture.h"
#include "platform/singbox_image.h"
#include "singbox/cleanup_wintun_adapters.h"
#include "singbox/kill_lingering_processes.h"
#include "support/scaled_sleeper.h"

namespace orvo_vpn_win_svc {
namespace {

using platform::DeviceRemoval;
using std::chrono::milliseconds;

class CleanupTest : public ::testing::Test {
 protected:
  CleanupFacilities Facilities() { return {processes_, devices_, sleeper_, spared_}; }

  orvo_test::FakeProcessTable processes_;
  orvo_test::FakeNetworkDevices devices_;
  orvo_test::ScaledSleeper sleeper_{1000};
  SparedProcesses spared_;
  LogCapture log_;
};

constexpr char kNoAdapters[] =
    "ORVO_SVC: Cleaning up WinTUN adapters via SetupAPI...\n"
    "ORVO_SVC: No WinTUN adapters found to remove\n";

TEST_F(CleanupTest, NothingRunningChecksAdaptersWithoutPausing) {
  KillLingeringProcesses(Facilities());
  EXPECT_EQ(log_.StandardError(),
            std::string("ORVO_SVC: Checking for lingering sing-box processes...\n") + kNoAdapters);
  EXPECT_EQ(sleeper_.Count(milliseconds(1000)), 0);
  EXPECT_EQ(processes_.Record(), "snapshot\n");
}

TEST_F(CleanupTest, SnapshotFailureStopsEverything) {
  processes_.snapshot_fails = true;
  KillLingeringProcesses(Facilities());
  EXPECT_EQ(log_.StandardError(), "ORVO_SVC: Checking for lingering sing-box processes...\n");
  EXPECT_EQ(devices_.record, "");
}

TEST_F(CleanupTest, EndsEveryCopyByWholeImageNameAndWaitsForEach) {
  const std::wstring image = platform::SingboxImageName();
  std::wstring upper = image;
  for (wchar_t& c : upper) {
    c = static_cast<wchar_t>(std::towupper(static_cast<wint_t>(c)));
  }
  processes_.processes = {{10, image},
                          {11, upper},
                          {12, L"x" + image},
                          {13, image + L".old"},
                          {14, L"other.exe"},
                          {15, image, /*can_open=*/false},
                          {16, image, true, /*survives=*/true},
                          {17, image}};
  spared_.Add(17);
  KillLingeringProcesses(Facilities());
  EXPECT_EQ(processes_.Record(),
            "snapshot\n"
            "open 10\nterminate 10 code 0\n"
            "open 11\nterminate 11 code 0\n"
            "open 15 refused\n"
            "open 16\nterminate 16 code 0\n"
            "wait 10 5000ms\nwait 11 5000ms\nwait 16 5000ms\n");
  EXPECT_EQ(log_.StandardError(),
            std::string("ORVO_SVC: Checking for lingering sing-box processes...\n"
                        "ORVO_SVC: Found lingering sing-box.exe (PID=10), killing...\n"
                        "ORVO_SVC: Found lingering sing-box.exe (PID=11), killing...\n"
                        "ORVO_SVC: Found lingering sing-box.exe (PID=15), killing...\n"
                        "ORVO_SVC: Found lingering sing-box.exe (PID=16), killing...\n"
                        "ORVO_SVC: Leaving the relay proxy's sing-box.exe running (PID=17)\n"
                        "ORVO_SVC: sing-box process terminated successfully\n"
                        "ORVO_SVC: sing-box process terminated successfully\n"
                        "ORVO_SVC: WARNING: sing-box process did not terminate within 5s\n") +
                kNoAdapters);
  EXPECT_EQ(sleeper_.Count(milliseconds(1000)), 1);
}

TEST_F(CleanupTest, RemovesDevicesWhoseDescriptionNamesWintunCaseSensitively) {
  devices_.devices = {
      {L"Wintun Userspace Tunnel", L"ORVO VPN"},
      {L"wintun userspace tunnel", L"lower"},
      {L"Intel(R) Ethernet", L"Ethernet"},
      {std::nullopt, L"unreadable"},
      {L"My Wintun #2", L""},
      {L"WINTUN", L"upper"},
      {L"Wintun", L"refuses params", DeviceRemoval::Outcome::kParametersRefused, 5},
      {L"Wintun", L"refuses removal", DeviceRemoval::Outcome::kRemovalRefused, 13},
  };
  CleanupWintunAdapters(Facilities());
  EXPECT_EQ(devices_.record,
            "open\nremove ORVO VPN\nremove \nremove refuses params\nremove refuses removal\n");
  EXPECT_EQ(log_.StandardError(),
            "ORVO_SVC: Cleaning up WinTUN adapters via SetupAPI...\n"
            "ORVO_SVC: Found WinTUN adapter: ORVO VPN (Wintun Userspace Tunnel), removing...\n"
            "ORVO_SVC: Successfully removed WinTUN adapter\n"
            "ORVO_SVC: Found WinTUN adapter: (unnamed) (My Wintun #2), removing...\n"
            "ORVO_SVC: Successfully removed WinTUN adapter\n"
            "ORVO_SVC: Found WinTUN adapter: refuses params (Wintun), removing...\n"
            "ORVO_SVC: SetupDiSetClassInstallParams failed: 5\n"
            "ORVO_SVC: Found WinTUN adapter: refuses removal (Wintun), removing...\n"
            "ORVO_SVC: SetupDiCallClassInstaller failed: 13\n"
            "ORVO_SVC: Removed 2 WinTUN adapter(s), waiting for driver release...\n");
  EXPECT_EQ(sleeper_.Count(milliseconds(1000)), 1);
  EXPECT_EQ(devices_.devices.size(), 6U);
}

TEST_F(CleanupTest, DeviceSetThatCannotBeOpenedIsReported) {
  devices_.open_error = 87;
  CleanupWintunAdapters(Facilities());
  EXPECT_EQ(log_.StandardError(),
            "ORVO_SVC: Cleaning up WinTUN adapters via SetupAPI...\n"
            "ORVO_SVC: SetupDiGetClassDevs failed: 87\n");
  EXPECT_EQ(sleeper_.Count(milliseconds(1000)), 0);
}

}  // namespace
}  // namespace orvo_vpn_win_svc
