// Before a tunnel starts, lingering sing-box processes are ended (the relay's own child spared)
// and stale Wintun adapters removed: the whole log and the fakes' records of one such run.
#include <gtest/gtest.h>

#include "fakes/fake_network_devices.h"
#include "fakes/fake_process_table.h"
#include "platform/log_capture.h"
#include "platform/singbox_image.h"
#include "singbox/kill_lingering_processes.h"
#include "support/scaled_sleeper.h"

namespace orvo_vpn_win_svc {
namespace {

using platform::DeviceRemoval;

TEST(Cleanup, EndsLingeringProcessesThenRemovesWintunAdapters) {
  orvo_test::FakeProcessTable processes;
  orvo_test::FakeNetworkDevices devices;
  orvo_test::ScaledSleeper sleeper{1000};
  SparedProcesses spared;
  const std::wstring image = platform::SingboxImageName();
  // Image names match whole, in any letter case.
  processes.processes = {{10, image},
                         {11, L"SING-BOX" + image.substr(8)},
                         {12, L"x" + image},
                         {13, image + L".old"},
                         {15, image, /*can_open=*/false},
                         {16, image, true, /*survives=*/true},
                         {17, image}};
  spared.Add(17);
  // Descriptions name "Wintun" with that letter case.
  devices.devices = {
      {L"Wintun Userspace Tunnel", L"ORVO VPN"},
      {L"wintun userspace tunnel", L"lower"},
      {std::nullopt, L"unreadable"},
      {L"My Wintun #2", L""},
      {L"WINTUN", L"upper"},
      {L"WinTUN", L"mixed"},
      {L"Wintun", L"refuses params", DeviceRemoval::Outcome::kParametersRefused, 5},
      {L"Wintun", L"refuses removal", DeviceRemoval::Outcome::kRemovalRefused, 13},
  };
  LogCapture log;
  KillLingeringProcesses({processes, devices, sleeper, spared});
  EXPECT_EQ(processes.Record(),
            "snapshot\n"
            "open 10\nterminate 10 code 0\n"
            "open 11\nterminate 11 code 0\n"
            "open 15 refused\n"
            "open 16\nterminate 16 code 0\n"
            "wait 10 5000ms\nwait 11 5000ms\nwait 16 5000ms\n");
  EXPECT_EQ(devices.record,
            "open\nremove ORVO VPN\nremove \nremove refuses params\nremove refuses removal\n");
  EXPECT_EQ(log.StandardError(),
            "ORVO_SVC: Checking for lingering sing-box processes...\n"
            "ORVO_SVC: Found lingering sing-box.exe (PID=10), killing...\n"
            "ORVO_SVC: Found lingering sing-box.exe (PID=11), killing...\n"
            "ORVO_SVC: Found lingering sing-box.exe (PID=15), killing...\n"
            "ORVO_SVC: Found lingering sing-box.exe (PID=16), killing...\n"
            "ORVO_SVC: Leaving the relay proxy's sing-box.exe running (PID=17)\n"
            "ORVO_SVC: sing-box process terminated successfully\n"
            "ORVO_SVC: sing-box process terminated successfully\n"
            "ORVO_SVC: WARNING: sing-box process did not terminate within 5s\n"
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
  EXPECT_EQ(sleeper.Count(std::chrono::milliseconds(1000)), 2);
}

TEST(Cleanup, NothingToRemoveIsSaidWithoutPausing) {
  orvo_test::FakeProcessTable processes;
  orvo_test::FakeNetworkDevices devices;
  orvo_test::ScaledSleeper sleeper{1000};
  SparedProcesses spared;
  LogCapture log;
  KillLingeringProcesses({processes, devices, sleeper, spared});
  EXPECT_EQ(log.StandardError(),
            "ORVO_SVC: Checking for lingering sing-box processes...\n"
            "ORVO_SVC: Cleaning up WinTUN adapters via SetupAPI...\n"
            "ORVO_SVC: No WinTUN adapters found to remove\n");
  EXPECT_EQ(sleeper.Count(std::chrono::milliseconds(1000)), 0);
}

}  // namespace
}  // namespace orvo_vpn_win_svc
