#if defined(__linux__)
// The real service as its users meet it: console mode walked through whole transcripts, service
// mode under a stand-in for systemd's notification socket, and start-ups that cannot open the
// socket.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <filesystem>
#include <mutex>
#include <thread>

#include "integration/harness.h"
#include "runtime/connection_info.h"
#include "service/connection_report.h"
#include "service/service_host.h"
#include "support/network_namespace.h"
#include "support/poll.h"
#include "support/test_pipe.h"

namespace orvo_test {
namespace {

using namespace std::chrono_literals;

TEST(ServiceScenario, ConsoleWalkThroughEveryCommand) {
  ORVO_IN_NAMESPACE_OR_SKIP([] {
    Service service;
    std::string why_not;
    ASSERT_TRUE(service.Start(true, {}, why_not)) << why_not;
    EXPECT_EQ(service.Transcript("console.txt"), GoldenText("integration/console.txt"))
        << service.Log();
    EXPECT_TRUE(PollUntil([&] { return ChildrenOf(service.Pid()).empty(); }));
  });
}

// The notification socket systemd hands a service: every message the service sends to it.
class NotifySocket {
 public:
  NotifySocket() {
    sockaddr_un address{AF_UNIX, {}};
    path_.copy(address.sun_path, sizeof(address.sun_path) - 1);
    ::bind(socket_, reinterpret_cast<sockaddr*>(&address), sizeof(address));
  }
  ~NotifySocket() { ::close(socket_); }
  // The environment entry that hands it to a service.
  std::string Entry() const { return "NOTIFY_SOCKET=" + path_; }
  // Every message so far, once the last one is `last`, as "[message]" lines.
  std::string Until(const std::string& last, std::chrono::milliseconds timeout) {
    PollUntil(
        [&] {
          char buffer[512];
          for (ssize_t size; (size = ::recv(socket_, buffer, sizeof buffer, MSG_DONTWAIT)) > 0;) {
            received_ += "[" + std::string(buffer, static_cast<size_t>(size)) + "]\n";
          }
          return received_.ends_with("[" + last + "]\n");
        },
        timeout);
    return received_;
  }

 private:
  const ScratchDirectory scratch_;
  const std::string path_ = (scratch_.path() / "notify").string();
  const int socket_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  std::string received_;
};

constexpr char kStarted[] = "[STATUS=start pending, check point 1]\n[READY=1\nSTATUS=running]\n";
constexpr char kStopping[] = "[STOPPING=1\nSTATUS=stop pending, check point 2]\n";

// Service mode: its states as systemd sees them; SIGTERM, the stop control, tears the tunnel
// down before the last report.
TEST(ServiceScenario, ServiceModeReportsItsStatesAndStopsOnSigterm) {
  ORVO_IN_NAMESPACE_OR_SKIP([] {
    NotifySocket notify;
    Service service;
    std::string why_not;
    ASSERT_TRUE(service.Start(false, {notify.Entry()}, why_not)) << why_not;
    EXPECT_EQ(notify.Until("READY=1\nSTATUS=running", 5s), kStarted);
    EXPECT_EQ(service.Raw("status"), "disconnected");
    ASSERT_EQ(service.Raw(R"({"cmd":"connect","config":{"server_ip":"198.51.100.7"}})"),
              R"({"error":"","success":true})");
    ASSERT_EQ(ChildrenOf(service.Pid()).size(), 1U);
    const int tunnel_child = ChildrenOf(service.Pid()).front();
    ASSERT_EQ(::kill(service.Pid(), SIGTERM), 0);
    EXPECT_EQ(notify.Until("STATUS=stopped, exit code 0", 10s),
              kStarted + std::string(kStopping) + "[STATUS=stopped, exit code 0]\n");
    EXPECT_EQ(service.WaitForExit(10s), 0);
    // The teardown took the tunnel down; the host wrote its own lines to the debugger only.
    EXPECT_TRUE(Ended(tunnel_child));
    EXPECT_EQ(ShellOutput("ip -br link | cut -d' ' -f1"), "lo\n");
    EXPECT_EQ(service.UserLog(), "");
  });
}

// SIGTERM while a connect waits for a sing-box that never gets ready: the service stops cleanly
// with the handler still running, and leaves no child and no kill-switch table behind.
TEST(ServiceScenario, StopDuringASlowConnect) {
  ORVO_IN_NAMESPACE_OR_SKIP([] {
    NotifySocket notify;
    Service service;
    std::string why_not;
    ASSERT_TRUE(service.Start(false, {notify.Entry()}, why_not)) << why_not;
    ASSERT_EQ(service.Raw(R"({"cmd":"set_kill_switch","settings":{"enabled":true}})"),
              R"({"success":true})");
    ASSERT_EQ(RunShell("nft list table inet orvo_vpn >/dev/null"), 0);
    const std::filesystem::path dir =
        std::filesystem::read_symlink("/proc/" + std::to_string(service.Pid()) + "/exe")
            .parent_path();
    ASSERT_EQ(RunShell("printf '#!/bin/sh\\nexec sleep 600\\n' >" + dir.string() +
                       "/slow && chmod +x " + dir.string() + "/slow && ln -sfn " + dir.string() +
                       "/slow " + dir.string() + "/sing-box"),
              0);
    std::jthread connect(
        [&] { service.Raw(R"({"cmd":"connect","config":{"server_ip":"198.51.100.7"}})"); });
    ASSERT_TRUE(PollUntil([&] { return ChildrenOf(service.Pid()).size() == 1; }));
    const int child = ChildrenOf(service.Pid()).front();
    ASSERT_EQ(::kill(service.Pid(), SIGTERM), 0);
    EXPECT_EQ(service.WaitForExit(20s), 0) << service.Log();
    EXPECT_TRUE(PollUntil([&] { return Ended(child); })) << "the tunnel child lives on";
    EXPECT_NE(RunShell("nft list table inet orvo_vpn >/dev/null 2>&1"), 0);
  });
}

// A socket directory others may write to is refused: console mode says so and exits with 1;
// service mode reports STOPPED with exit code 1. Without a service manager the service exits
// with 1 at once, saying nothing, whatever its arguments other than exactly "--console".
TEST(ServiceScenario, StartUpsThatCannotServe) {
  ORVO_IN_NAMESPACE_OR_SKIP([] {
    NotifySocket notify;
    const std::string open_directory = "mkdir -m 777 /run/orvo-vpn";
    Service console;
    std::string why_not;
    EXPECT_FALSE(console.Start(true, {}, why_not, open_directory));
    EXPECT_EQ(console.WaitForExit(10s), 1);
    EXPECT_EQ(console.UserLog(),
              "ORVO_SVC: Console mode start\nORVO_SVC: Starting IPC server...\n"
              "ORVO_SVC: IPC start FAILED!\n");

    Service service;
    EXPECT_FALSE(service.Start(false, {notify.Entry()}, why_not, open_directory));
    EXPECT_EQ(notify.Until("STATUS=stopped, exit code 1", 10s),
              kStarted + std::string("[STATUS=stopped, exit code 1]\n"));
    EXPECT_EQ(service.WaitForExit(10s), 0);

    EXPECT_EQ(ShellOutput(
                  "for a in '' --Console -console console; do env -u NOTIFY_SOCKET " ORVO_BUILD_DIR
                  "/orvo-vpn-svc \"$a\" 2>&1; echo $?; done"),
              "1\n1\n1\n1\n");
  });
}

// A service controller recording every status report as "state controls check-point exit".
class RecordingController : public orvo_vpn_win_svc::platform::ServiceController {
 public:
  bool RunDispatcher(const std::wstring&, std::function<void()> service_main) override {
    service_main();
    return true;
  }
  bool RegisterControlHandler(const std::wstring&, std::function<void(uint32_t)> handler) override {
    handler_ = std::move(handler);
    return true;
  }
  void ReportStatus(const orvo_vpn_win_svc::platform::ServiceStatusReport& report) override {
    std::lock_guard lock(mutex_);
    reports_ += std::to_string(report.current_state) + " " +
                std::to_string(report.controls_accepted) + " " +
                std::to_string(report.check_point) + " " + std::to_string(report.win32_exit_code) +
                "\n";
  }
  std::string Reports() {
    std::lock_guard lock(mutex_);
    return reports_;
  }
  std::function<void(uint32_t)> handler_;

 private:
  std::mutex mutex_;
  std::string reports_;
};

// The SHUTDOWN control, which systemd never sends, stops the service as STOP does; RUNNING
// accepts both (5).
TEST(ServiceScenario, ShutdownControlStopsTheService) {
  ORVO_IN_NAMESPACE_OR_SKIP([] {
    const auto controller = std::make_shared<RecordingController>();
    auto facilities = orvo_vpn_win_svc::ServiceHost::Facilities::System();
    facilities.controller = controller;
    TestPipe pipe;
    facilities.pipe_name = pipe.Name();
    orvo_vpn_win_svc::ServiceHost host(std::move(facilities));
    std::jthread service([&] { host.Run({L"orvo-vpn-svc"}); });
    EXPECT_TRUE(PollUntil([&] { return controller->Reports().starts_with("2 0 1 0\n4 "); }));
    controller->handler_(orvo_vpn_win_svc::platform::kServiceControlInterrogate);
    controller->handler_(orvo_vpn_win_svc::platform::kServiceControlShutdown);
    EXPECT_TRUE(PollUntil([&] { return controller->Reports().ends_with("1 0 0 0\n"); }, 10s));
    EXPECT_EQ(controller->Reports(), "2 0 1 0\n4 5 0 0\n3 0 2 0\n1 0 0 0\n");
    controller->handler_(orvo_vpn_win_svc::platform::kServiceControlStop);  // ends a stuck host
  });
}

// The report's shapes that no service run can show, in tests/golden/unit/service/.
TEST(ServiceScenario, ConnectionReportShapes) {
  using namespace orvo_vpn_win_svc;
  ConnectionInfo info;
  info.status = ConnectionStatus::Connected;
  info.bytes_rx = 11;
  info.bytes_tx = 22;
  info.connected_at = 1700000000;
  const std::vector<TextCase> replies = ReadCases("unit/service/connection_report.txt");
  EXPECT_EQ(BuildConnectionReport(nullptr), replies.at(0)["reply"]);
  EXPECT_EQ(BuildConnectionReport(&info), replies.at(1)["reply"]);
}

}  // namespace
}  // namespace orvo_test
#endif
