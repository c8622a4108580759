// Before a tunnel starts, lingering sing-box processes are ended (the relay's own child spared)
// and stale Wintun adapters removed: the whole log and the fakes' records of such runs. (The
// real links' removal is the console walk's.)
#include <gtest/gtest.h>

#include "fakes/fake_network_devices.h"
#include "fakes/fake_process_table.h"
#include "platform/log_capture.h"
#include "platform/singbox_image.h"
#include "singbox/cleanup_wintun_adapters.h"
#include "singbox/kill_lingering_processes.h"
#include "support/case_file.h"
#include "support/test_clock.h"

namespace orvo_vpn_win_svc {
namespace {

// The processes come from a fake: a real table is the whole machine's, and no real process
// refuses to be opened or outlives its termination on demand. A second clean-up finds nothing
// and says so without pausing.
TEST(Cleanup, EndsLingeringProcessesThenLooksForWintunAdapters) {
  orvo_test::FakeProcessTable processes;
  orvo_test::FakeNetworkDevices devices;
  orvo_test::TestClock sleeper;
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
  // What only Windows produces: a device without a friendly name, parameters refused.
  using Outcome = platform::DeviceRemoval::Outcome;
  devices.devices = {{L"My Wintun", L""},
                     {L"Wintun", L"refuses", {Outcome::kParametersRefused, 5}}};
  LogCapture log;
  KillLingeringProcesses({processes, devices, sleeper, spared});
  processes.processes.clear();
  devices.devices.clear();
  KillLingeringProcesses({processes, devices, sleeper, spared});
  const orvo_test::TextCase expected = orvo_test::ReadCases("unit/singbox/cleanup.txt").at(0);
  EXPECT_EQ(processes.Record(), expected["processes"]);
  EXPECT_EQ(devices.record, "open\nremove \nremove refuses\nopen\n");
  EXPECT_EQ(log.StandardError(), expected["log"]);
  EXPECT_EQ(sleeper.TakePauses(), "1000 1000");
}

}  // namespace
}  // namespace orvo_vpn_win_svc
