// Before a tunnel starts, lingering sing-box processes are ended (the relay's own child spared)
// and stale Wintun adapters removed: the whole log and the fakes' records of one such run.
#include <gtest/gtest.h>

#include "fakes/fake_network_devices.h"
#include "fakes/fake_process_table.h"
#include "platform/log_capture.h"
#include "platform/singbox_image.h"
#include "singbox/kill_lingering_processes.h"
#include "support/case_file.h"
#include "support/test_clock.h"

namespace orvo_vpn_win_svc {
namespace {

using platform::DeviceRemoval;

struct Cleanup : ::testing::Test {
  orvo_test::FakeProcessTable processes;
  orvo_test::FakeNetworkDevices devices;
  orvo_test::TestClock sleeper{1000};
  SparedProcesses spared;
  LogCapture log;
};

TEST_F(Cleanup, EndsLingeringProcessesThenRemovesWintunAdapters) {
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
  KillLingeringProcesses({processes, devices, sleeper, spared});
  const orvo_test::TextCase expected = orvo_test::ReadCases("unit/singbox/cleanup.txt").at(0);
  EXPECT_EQ(processes.Record(), expected["processes"]);
  EXPECT_EQ(devices.record, expected["devices"]);
  EXPECT_EQ(log.StandardError(), expected["log"]);
  EXPECT_EQ(sleeper.Count(std::chrono::milliseconds(1000)), 2);
}

TEST_F(Cleanup, NothingToRemoveIsSaidWithoutPausing) {
  KillLingeringProcesses({processes, devices, sleeper, spared});
  EXPECT_EQ(log.StandardError(), orvo_test::ReadCases("unit/singbox/cleanup.txt").at(1)["log"]);
  EXPECT_EQ(sleeper.Count(std::chrono::milliseconds(1000)), 0);
}

}  // namespace
}  // namespace orvo_vpn_win_svc
