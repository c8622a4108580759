// Service mode on Linux under a stand-in for systemd's notification socket: the status
// notifications, SIGTERM as the stop control while idle and while a connect is in progress, the
// orderly teardown after it (and the order of the process-wide objects' ends), and the exit
// without a service manager.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "integration/service_namespace.h"
#include "integration/service_notify_listener.h"
#include "integration/service_requests.h"
#include "integration/service_under_test.h"
#include "platform/service_controller.h"
#include "support/background_process.h"
#include "support/namespace_network.h"
#include "support/platform_kind.h"
#include "support/poll.h"
#include "support/scratch_directory.h"
#include "support/tcp_probe.h"

#ifndef _WIN32
#include <signal.h>
#include <unistd.h>
#endif

namespace orvo_vpn_win_svc {
namespace {

using namespace std::chrono_literals;
using namespace orvo_test::service_requests;
using orvo_test::NotifyListener;
using orvo_test::ServiceUnderTest;

constexpr char kStartPending[] = "STATUS=start pending, check point 1";
constexpr char kReady[] = "READY=1\nSTATUS=running";
constexpr char kStopping[] = "STOPPING=1\nSTATUS=stop pending, check point 2";
constexpr char kStopped[] = "STATUS=stopped, exit code 0";

#ifndef _WIN32
constexpr int kStopSignal = SIGTERM;
#else
constexpr int kStopSignal = 15;
#endif

std::string Joined(const std::vector<std::string>& messages) {
  std::string text;
  for (const std::string& message : messages) {
    text += "[" + message + "] ";
  }
  return text;
}

TEST(ServiceMode, WithoutANotificationSocketExitsWithOne) {
  if (orvo_test::kWindows) {
    GTEST_SKIP() << "systemd's conventions are the Linux build's";
  }
  // Anything but exactly "--console" first is service mode.
  const std::vector<std::vector<std::string>> argument_lists = {
      {}, {"--Console"}, {"-console"}, {"---console"}, {"console"}, {"", "--console"}};
  for (const std::vector<std::string>& arguments : argument_lists) {
    SCOPED_TRACE(arguments.empty() ? "(no arguments)" : "'" + arguments.front() + "'");
    std::vector<std::string> command = {"env", "-u", "NOTIFY_SOCKET",
                                        std::string(ORVO_BUILD_DIR) + "/orvo-vpn-svc"};
    command.insert(command.end(), arguments.begin(), arguments.end());
    orvo_test::BackgroundProcess service;
    ASSERT_TRUE(service.Start(command));
    EXPECT_EQ(service.WaitForExit(10s), 1);
    EXPECT_EQ(service.Output(), "") << "nothing is written before the dispatcher refuses";
  }
}

// A stop signal that comes before the service has registered its control handler reaches the
// handler once it is registered. In a child process of its own, whose threads all block the
// signal, so nothing else takes it.
TEST(ServiceMode, StopSignalBeforeTheHandlerIsRegisteredIsNotLost) {
  if (orvo_test::kWindows) {
    GTEST_SKIP() << "systemd's conventions are the Linux build's";
  }
#ifndef _WIN32
  EXPECT_EXIT(
      {
        ::setenv("NOTIFY_SOCKET", "/nonexistent/orvo-notify", 1);  // reports go nowhere
        const auto controller = platform::SystemServiceController();
        std::atomic<bool> stopped{false};
        const bool dispatched = controller->RunDispatcher(L"OrvoVpnWinSvc", [&] {
          ::kill(::getpid(), SIGTERM);
          // Until the dispatcher has taken the signal in.
          orvo_test::PollUntil([] {
            sigset_t pending;
            return ::sigpending(&pending) == 0 && sigismember(&pending, SIGTERM) == 0;
          });
          controller->RegisterControlHandler(L"OrvoVpnWinSvc", [&](uint32_t control) {
            stopped = control == platform::kServiceControlStop;
          });
          orvo_test::PollUntil([&] { return stopped.load(); }, 2s);
        });
        std::exit(dispatched && stopped ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
#endif
}

// A service started the way systemd starts it, with a notification socket of the test's own.
class ServiceModeRig {
 public:
  ServiceModeRig() : notify_(scratch_.path() / "notify") {}

  bool Start(std::string& why_not) {
    if (!notify_.Bound()) {
      why_not = "cannot bind the notification socket";
      return false;
    }
    return service_.Start(ServiceUnderTest::Mode::kService,
                          {"NOTIFY_SOCKET=" + notify_.Path().string()}, why_not);
  }

  ServiceUnderTest& service() { return service_; }
  NotifyListener& notify() { return notify_; }

 private:
  orvo_test::ScratchDirectory scratch_;
  NotifyListener notify_;
  ServiceUnderTest service_;
};

TEST(ServiceMode, StopWhileIdleReportsStoppingTearsDownAndExits) {
  ORVO_RUN_IN_SERVICE_NAMESPACE_OR_SKIP([] {
    ServiceModeRig rig;
    std::string why_not;
    ASSERT_TRUE(rig.Start(why_not)) << why_not;
    ASSERT_TRUE(rig.notify().WaitFor(kReady, 5s)) << Joined(rig.notify().Messages());
    EXPECT_EQ(rig.notify().Messages(), (std::vector<std::string>{kStartPending, kReady}));
    EXPECT_EQ(rig.service().Raw("status").output, "disconnected");
    EXPECT_EQ(rig.service().Raw(kInfo).output, kNotConnected);
    ASSERT_EQ(rig.service().Raw(RelayStart(orvo_test::FreeLoopbackPort())).output, kSuccess)
        << rig.service().Log();

    ASSERT_TRUE(rig.service().Signal(kStopSignal));
    EXPECT_TRUE(rig.notify().WaitFor(kStopped, 10s)) << Joined(rig.notify().Messages());
    EXPECT_EQ(rig.service().WaitForExit(10s), 0) << rig.service().Log();
    // The relay proxy, made by its first use after start-up, goes at exit before the WFP
    // manager the runtime made at start-up.
    const std::string log = rig.service().Log();
    const size_t relay_stopped = log.find("RELAY: Proxy stopped\n");
    ASSERT_NE(relay_stopped, std::string::npos) << log;
    EXPECT_LT(relay_stopped, log.find("WFP: Cleaning up...\n")) << log;
    EXPECT_EQ(rig.notify().Messages(),
              (std::vector<std::string>{kStartPending, kReady, kStopping, kStopped}));
    // The host's own lines go to the debugger only in this mode.
    EXPECT_EQ(rig.service().Log().find("ORVO_SVC: Console mode start"), std::string::npos);
    EXPECT_EQ(rig.service().Ctl({"raw", "status"}).exit_code, 2) << "the socket is gone";
  });
}

TEST(ServiceMode, StopDuringAConnectLetsTheConnectFinishThenTearsItDown) {
  ORVO_RUN_IN_SERVICE_NAMESPACE_OR_SKIP([] {
    ServiceModeRig rig;
    // The stand-in takes its time to report ready, so the stop arrives in the middle, and the
    // connect outlasts the pipe server's 3000 ms wait for its listener.
    rig.service().SetStandIn(
        {{"SINGBOX_STAND_IN_TUN", "1"}, {"SINGBOX_STAND_IN_READY_DELAY_MS", "5000"}});
    std::string why_not;
    ASSERT_TRUE(rig.Start(why_not)) << why_not;
    ASSERT_TRUE(rig.notify().WaitFor(kReady, 5s));

    orvo_test::CtlResult connect;
    std::chrono::steady_clock::time_point replied;
    std::jthread client([&] {
      connect = rig.service().Raw(kConnect);
      replied = std::chrono::steady_clock::now();
    });
    ASSERT_TRUE(rig.service().WaitForLog("Waiting for sing-box started signal", 10s))
        << rig.service().Log();
    const std::vector<int> tunnel_child = rig.service().Children();
    ASSERT_EQ(tunnel_child.size(), 1U);

    ASSERT_TRUE(rig.service().Signal(kStopSignal));
    ASSERT_TRUE(rig.notify().WaitFor(kStopping, 2s)) << Joined(rig.notify().Messages());
    const auto stopping = std::chrono::steady_clock::now();
    client.join();
    // The handler ran to its end: the stop neither cut the connect short nor tore the runtime
    // down under it.
    EXPECT_EQ(connect.output, kConnected) << rig.service().Log();
    const long long handler_after_stop_ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(replied - stopping).count();
    std::printf("connect reply %lld ms after STOPPING=1\n", handler_after_stop_ms);
    ::testing::Test::RecordProperty("connect_reply_after_stopping_ms",
                                    std::to_string(handler_after_stop_ms));
    EXPECT_GT(handler_after_stop_ms, 3000) << "the connect ended within the listener wait";

    EXPECT_TRUE(rig.notify().WaitFor(kStopped, 20s)) << Joined(rig.notify().Messages());
    EXPECT_EQ(rig.service().WaitForExit(20s), 0);
    EXPECT_EQ(rig.notify().Messages(),
              (std::vector<std::string>{kStartPending, kReady, kStopping, kStopped}));

    // The teardown's disconnect came after the connect had finished: its adapter clean-up is the
    // last one in the log, after the success line.
    const std::string log = rig.service().Log();
    const size_t connected = log.find("ORVO_SVC: Hysteria2 connected successfully!\n");
    const size_t last_cleanup =
        log.rfind("ORVO_SVC: Cleaning up WinTUN adapters via SetupAPI...\n");
    ASSERT_NE(connected, std::string::npos) << log;
    EXPECT_NE(last_cleanup, std::string::npos);
    EXPECT_GT(last_cleanup, connected) << log;
    // The tunnel's child and its interface are gone.
    EXPECT_TRUE(orvo_test::PollUntil(
        [&] { return orvo_test::CountProcessResourcesOf(tunnel_child.front()).threads < 0; }));
    EXPECT_EQ(orvo_test::LinkIndex("OrvoVPN"), 0);
  });
}

}  // namespace
}  // namespace orvo_vpn_win_svc
