// RelayProxy with the real sing-box stand-in: the proxy listens on 127.0.0.1:local_port, stops
// cleanly, notices a dead child, and survives a tunnel start's clean-up.
#include <gtest/gtest.h>

#include "fakes/fake_network_devices.h"
#include "fakes/limited_process_table.h"
#include "platform/log.h"
#include "platform/log_capture.h"
#include "platform/system_paths.h"
#include "relay/relay_proxy.h"
#include "singbox/kill_lingering_processes.h"
#include "singbox/singbox_protocol.h"
#include "support/poll.h"
#include "support/process_resources.h"
#include "support/scaled_sleeper.h"
#include "support/stand_in.h"
#include "support/tcp_probe.h"

namespace orvo_vpn_win_svc {
namespace {

using std::chrono::milliseconds;

class RelayWithStandIn : public ::testing::Test {
 protected:
  void SetUp() override {
    DebugLineNarrow("warm-up\n");
    orvo_test::AcceptsConnections(1);  // warm up the socket library
    before_ = orvo_test::CountProcessResources();
    settings_.relay_domain = "127.0.0.1";
    settings_.relay_port = 8443;
    settings_.password = "relay-pw-secret";
    settings_.obfs_password = "relay-obfs-secret";
    settings_.local_port = orvo_test::FreeLoopbackPort();
    ASSERT_NE(settings_.local_port, 0);
  }

  orvo_test::ScaledSleeper sleeper_{10};
  SparedProcesses spared_;
  LogCapture log_;
  orvo_test::ProcessResources before_;
  RelayProxyRequest settings_;
  std::string error_;
  RelayProxy relay_{
      {platform::SystemChildProcesses(), sleeper_, spared_,
       [] { return orvo_test::StandInDirectory() + platform::kPathSeparator + L"orvo-vpn-svc"; },
       &RelayProxy::Facilities::SystemResolve}};
};

TEST_F(RelayWithStandIn, ListensOnTheLocalPortAndStopsCleanly) {
  ASSERT_TRUE(relay_.Start(settings_, error_)) << error_;
  EXPECT_TRUE(relay_.IsRunning());
  EXPECT_TRUE(orvo_test::AcceptsConnections(settings_.local_port));
  const std::string log = log_.StandardError();
  EXPECT_NE(log.find("RELAY: Resolved 127.0.0.1 -> 127.0.0.1\n"), std::string::npos);
  EXPECT_NE(log.find("RELAY: ====== PROXY STARTED on 127.0.0.1:" +
                     std::to_string(settings_.local_port) + " ======\n"),
            std::string::npos);
  EXPECT_EQ(log.find("secret"), std::string::npos);

  relay_.Stop();
  EXPECT_FALSE(relay_.IsRunning());
  EXPECT_TRUE(
      orvo_test::PollUntil([&] { return !orvo_test::AcceptsConnections(settings_.local_port); }));
  EXPECT_EQ(orvo_test::SettledResources(before_).Text(), before_.Text());
}

TEST_F(RelayWithStandIn, DeadChildIsNoticedAndTheProxyStartsAgain) {
  ASSERT_TRUE(relay_.Start(settings_, error_)) << error_;
  // Someone ends the child by hand.
  {
    orvo_test::LimitedProcessTable table;
    table.Allow(relay_.ChildId());
    auto process = table.OpenForTermination(relay_.ChildId());
    ASSERT_TRUE(process);
    ASSERT_TRUE(process->Terminate(1));
    ASSERT_EQ(process->Wait(milliseconds(10000)), platform::WaitOutcome::kEnded);
  }
  EXPECT_TRUE(orvo_test::PollUntil([&] { return !relay_.IsRunning(); }));
  ASSERT_TRUE(relay_.Start(settings_, error_)) << error_;
  EXPECT_TRUE(relay_.IsRunning());
  EXPECT_TRUE(
      orvo_test::PollUntil([&] { return orvo_test::AcceptsConnections(settings_.local_port); }));
  relay_.Stop();
  EXPECT_EQ(orvo_test::SettledResources(before_).Text(), before_.Text());
}

TEST_F(RelayWithStandIn, TunnelCleanUpSparesTheRelayChildButEndsStrays) {
  ASSERT_TRUE(relay_.Start(settings_, error_)) << error_;
  const platform::SpawnRequest request = orvo_test::StandInRequest();
  auto stray = platform::SystemChildProcesses().Spawn(request);
  ASSERT_TRUE(stray.child);

  orvo_test::LimitedProcessTable processes;
  processes.Allow(relay_.ChildId());
  processes.Allow(stray.child->Id());
  orvo_test::FakeNetworkDevices devices;
  KillLingeringProcesses({processes, devices, sleeper_, spared_});

  EXPECT_EQ(stray.child->Wait(milliseconds(0)), platform::WaitOutcome::kEnded);
  EXPECT_TRUE(relay_.IsRunning());
  EXPECT_TRUE(orvo_test::AcceptsConnections(settings_.local_port));
  EXPECT_NE(
      log_.StandardError().find("ORVO_SVC: Leaving the relay proxy's sing-box.exe running (PID=" +
                                std::to_string(relay_.ChildId()) + ")\n"),
      std::string::npos);
  relay_.Stop();
}

TEST_F(RelayWithStandIn, PortAlreadyTakenFailsEveryAttemptWithTheExitCode) {
  ASSERT_TRUE(relay_.Start(settings_, error_)) << error_;
  RelayProxy second{
      {platform::SystemChildProcesses(), sleeper_, spared_,
       [] { return orvo_test::StandInDirectory() + platform::kPathSeparator + L"orvo-vpn-svc"; },
       &RelayProxy::Facilities::SystemResolve}};
  std::string error;
  EXPECT_FALSE(second.Start(settings_, error));
  EXPECT_EQ(error, "Relay sing-box exited with code 1");
  EXPECT_NE(log_.StandardError().find("RELAY: sing-box attempt 3/3\n"), std::string::npos);
  EXPECT_FALSE(second.IsRunning());
  relay_.Stop();
  EXPECT_EQ(orvo_test::SettledResources(before_).Text(), before_.Text());
}

}  // namespace
}  // namespace orvo_vpn_win_svc
