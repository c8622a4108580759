// Faults around the console-mode service: the tunnel's sing-box ending while connected (by
// itself after readiness, or killed by hand: the tunnel is then reported invalid), hanging at
// start and then killed by hand, the relay child killed by hand, and the state file's folder
// unusable. After each the service answers truthfully and a later connect works.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "integration/service_namespace.h"
#include "integration/service_requests.h"
#include "integration/service_under_test.h"
#include "support/namespace_network.h"
#include "support/poll.h"
#include "support/tcp_probe.h"

#ifndef _WIN32
#include <signal.h>
#endif

namespace orvo_vpn_win_svc {
namespace {

using namespace std::chrono_literals;
using namespace orvo_test::service_requests;
using orvo_test::ServiceUnderTest;

#ifndef _WIN32
constexpr int kKill = SIGKILL;
#else
constexpr int kKill = 9;
#endif

const std::vector<std::pair<std::string, std::string>> kReadyAtOnce = {
    {"SINGBOX_STAND_IN_TUN", "1"}};

bool TunExists() {
  return orvo_test::LinkIndex("OrvoVPN") != 0;
}

bool KillByHand(int pid) {
#ifndef _WIN32
  return pid > 0 && kill(pid, kKill) == 0;
#else
  (void)pid;
  return false;
#endif
}

// The service's only child, once there is exactly one.
int OnlyChild(const ServiceUnderTest& service) {
  std::vector<int> children;
  orvo_test::PollUntil([&] {
    children = service.Children();
    return children.size() == 1;
  });
  return children.size() == 1 ? children.front() : -1;
}

void StartOrFail(ServiceUnderTest& service) {
  std::string why_not;
  ASSERT_TRUE(service.Start(ServiceUnderTest::Mode::kConsole, {}, why_not)) << why_not;
}

// After a fault: a disconnect, then a whole connect and disconnect with a stand-in that behaves.
void ExpectALaterConnectWorks(ServiceUnderTest& service) {
  service.SetStandIn(kReadyAtOnce);
  EXPECT_EQ(service.Raw(kDisconnect).output, kSuccess);
  EXPECT_EQ(service.Raw("status").output, "disconnected");
  EXPECT_TRUE(orvo_test::PollUntil([&] { return service.Children().empty(); }));
  EXPECT_EQ(service.Raw(kConnect).output, kConnected) << service.Log();
  EXPECT_EQ(service.Raw("status").output, "connected");
  EXPECT_TRUE(TunExists());
  EXPECT_TRUE(std::filesystem::exists(service.StateFile()));
  EXPECT_EQ(service.Raw(kDisconnect).output, kSuccess);
  EXPECT_EQ(service.Raw(kInfo).output, kNotConnected);
  EXPECT_TRUE(orvo_test::PollUntil([] { return !TunExists(); }));
}

struct ChildEnding {
  std::string what;
  std::vector<std::pair<std::string, std::string>> stand_in;
  bool killed_by_hand;
  std::string exit_code;
};

TEST(ServiceFaults, TunnelChildEndingWhileConnectedLeavesTheServiceServing) {
  const std::vector<ChildEnding> endings = {
      {"crashes by itself after readiness",
       {{"SINGBOX_STAND_IN_TUN", "1"},
        {"SINGBOX_STAND_IN_EXIT_CODE", "3"},
        {"SINGBOX_STAND_IN_EXIT_WHEN", "after-ready"},
        {"SINGBOX_STAND_IN_EXIT_DELAY_MS", "2500"}},
       false,
       "3"},
      {"killed by hand", kReadyAtOnce, true, "137"},  // 128 + SIGKILL
  };
  ORVO_RUN_IN_SERVICE_NAMESPACE_OR_SKIP([&] {
    for (const ChildEnding& ending : endings) {
      SCOPED_TRACE(ending.what);
      ServiceUnderTest service;
      service.SetStandIn(ending.stand_in);
      StartOrFail(service);
      ASSERT_EQ(service.Raw(kConnect).output, kConnected) << service.Log();
      const int child = OnlyChild(service);
      if (ending.killed_by_hand) {
        ASSERT_TRUE(KillByHand(child));
      }
      // The stand-in's interface goes with it, and the tunnel is no longer reported up.
      ASSERT_TRUE(orvo_test::PollUntil([] { return !TunExists(); }, 10s));
      const auto ended = std::chrono::steady_clock::now();
      EXPECT_TRUE(
          orvo_test::PollUntil([&] { return service.Raw("status").output == "invalid"; }, 10s))
          << service.Log();
      std::printf("sing-box %s: status \"invalid\" %lld ms after its interface went\n",
                  ending.what.c_str(),
                  static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                             std::chrono::steady_clock::now() - ended)
                                             .count()));
      EXPECT_NE(service.Log().find("ORVO_SVC: sing-box exited with code " + ending.exit_code +
                                   " while connected, connection invalid\n"),
                std::string::npos)
          << service.Log();
      ASSERT_TRUE(std::filesystem::exists(service.StateFile()));
      EXPECT_EQ(service.Raw(kInfo).output, kNotConnected);
      EXPECT_FALSE(std::filesystem::exists(service.StateFile()));
      // Requests that do not depend on the tunnel are answered as before.
      EXPECT_EQ(service.Raw(kKillSwitchStatus).output, KillSwitchReply(false));
      EXPECT_EQ(service.Raw(kRelayRunning).output, RelayReply(false));
      EXPECT_EQ(service.Raw("permission").output, "ok");
      // A new connect needs no disconnect first.
      service.SetStandIn(kReadyAtOnce);
      EXPECT_EQ(service.Raw(kConnect).output, kConnected) << service.Log();
      EXPECT_EQ(service.Raw("status").output, "connected");
      ExpectALaterConnectWorks(service);
    }
  });
}

TEST(ServiceFaults, ChildHangingAtStartKilledByHandIsRetriedByTheSameConnect) {
  ORVO_RUN_IN_SERVICE_NAMESPACE_OR_SKIP([] {
    ServiceUnderTest service;
    service.SetStandIn({{"SINGBOX_STAND_IN_TUN", "1"}, {"SINGBOX_STAND_IN_READY", "never"}});
    StartOrFail(service);
    orvo_test::CtlResult connect;
    std::jthread client([&] { connect = service.Raw(kConnect); });
    ASSERT_TRUE(service.WaitForLog("Waiting for sing-box started signal", 10s));
    const int hanging = OnlyChild(service);
    // The next start behaves; this one is ended by hand while the service waits for it.
    service.SetStandIn(kReadyAtOnce);
    ASSERT_TRUE(KillByHand(hanging));
    client.join();
    EXPECT_EQ(connect.output, kConnected) << service.Log();
    const std::string log = service.Log();
    EXPECT_NE(log.find("ERR_SINGBOX_CRASH: sing-box exited during startup\n"), std::string::npos)
        << log;
    EXPECT_NE(log.find("Connection attempt 2/3\n"), std::string::npos);
    EXPECT_EQ(service.Raw("status").output, "connected");
    EXPECT_TRUE(TunExists());
    ExpectALaterConnectWorks(service);
  });
}

TEST(ServiceFaults, RelayChildKilledByHandIsReportedStoppedAndStartsAgain) {
  ORVO_RUN_IN_SERVICE_NAMESPACE_OR_SKIP([] {
    ServiceUnderTest service;
    StartOrFail(service);
    const int port = orvo_test::FreeLoopbackPort();
    ASSERT_EQ(service.Raw(RelayStart(port)).output, kSuccess) << service.Log();
    ASSERT_TRUE(KillByHand(OnlyChild(service)));
    EXPECT_TRUE(orvo_test::PollUntil(
        [&] { return service.Raw(kRelayRunning).output == RelayReply(false); }, 10s));
    EXPECT_EQ(service.Raw(RelayStart(port)).output, kSuccess) << service.Log();
    EXPECT_EQ(service.Raw(kRelayRunning).output, RelayReply(true));
    EXPECT_TRUE(orvo_test::PollUntil([&] { return orvo_test::AcceptsConnections(port); }));
    EXPECT_EQ(service.Raw(kRelayStop).output, kSuccess);
    EXPECT_EQ(service.Raw(kRelayRunning).output, RelayReply(false));
    ExpectALaterConnectWorks(service);
  });
}

TEST(ServiceFaults, UnusableStateFolderLeavesTheConnectUpAndUnsaved) {
  ORVO_RUN_IN_SERVICE_NAMESPACE_OR_SKIP([] {
    ServiceUnderTest service;
    service.SetStandIn(kReadyAtOnce);
    StartOrFail(service);
    // The service runs as root, whom permissions do not stop: a file where the folder belongs
    // makes the folder impossible to create or write into.
    std::filesystem::create_directories(service.StateFolder().parent_path());
    std::ofstream(service.StateFolder()) << "in the way\n";
    ASSERT_EQ(service.Raw(kConnect).output, kConnected) << service.Log();
    const std::string log = service.Log();
    // Something exists at the folder's path, so there is nothing to create; the open fails.
    EXPECT_NE(log.find("CONNECTION_STORE: Failed to open file for writing: " +
                       service.StateFile().string()),
              std::string::npos)
        << log;
    EXPECT_EQ(service.Raw("status").output, "connected");
    EXPECT_NE(service.Raw(kInfo).output.find(R"("status":"connected")"), std::string::npos);
    EXPECT_EQ(service.Raw(kDisconnect).output, kSuccess);
    EXPECT_EQ(service.Raw(kInfo).output, kNotConnected);
    EXPECT_TRUE(std::filesystem::is_regular_file(service.StateFolder()));

    std::filesystem::remove(service.StateFolder());
    ExpectALaterConnectWorks(service);
  });
}

}  // namespace
}  // namespace orvo_vpn_win_svc
