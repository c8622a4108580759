// The Hysteria2 connect on fakes: every way it can fail, with the attempts and pauses it makes
// read from its "[Nms]" lines, name resolution, the record it leaves, and the status it reports.
#include <gtest/gtest.h>

#include <functional>

#include "killswitch/kill_switch_rules.h"
#include "platform/text_encoding.h"
#include "platform/wfp_filter_text.h"
#include "support/poll.h"
#include "unit/runtime/runtime_on_fakes.h"

namespace orvo_vpn_win_svc {
namespace {

using std::chrono::milliseconds;

// One progress line as the connect writes it.
std::string At(long long ms, const std::string& text) {
  return "ORVO_SVC: [" + std::to_string(ms) + "ms] " + text + "\n";
}

// The attempt loop's lines for three connection attempts begun `period` ms apart: each opens
// with its first start attempt, goes on with `attempt(start)`, and the first two end with
// `retry(start)`.
std::string ThreeAttempts(long long period, const std::function<std::string(long long)>& attempt,
                          const std::function<std::string(long long)>& retry) {
  std::string lines;
  for (int number = 1; number <= 3; ++number) {
    const long long start = (number - 1) * period;
    lines += At(start, "Connection attempt " + std::to_string(number) + "/3") +
             At(start, "sing-box start attempt 1/3") + attempt(start);
    if (number < 3) {
      lines += retry(start);
    }
  }
  return lines;
}

constexpr char kStartError[] = "ERR_SINGBOX_START: sing-box exited with code 1";
constexpr char kCrashUnexpected[] = "ERR_SINGBOX_CRASH: sing-box exited unexpectedly";
constexpr char kTunNotUp[] = "ERR_TUN_NOT_UP: sing-box started but TUN 'OrvoVPN' not in UP state";

class Hysteria2Connect : public orvo_test::RuntimeOnFakes {
 protected:
  void SetUp() override { Initialize(); }

  // The attempt loop's lines: the progress lines from the first connection attempt on.
  std::string LoopLines() const {
    const std::string lines = TimedLines();
    const size_t first = lines.find(At(0, "Connection attempt 1/3"));
    return first == std::string::npos ? "no attempt loop in:\n" + lines : lines.substr(first);
  }

  std::string InstalledFilters() const {
    std::string text;
    for (const auto& entry : memory_->CommittedFilters()) {
      text += platform::DescribeWfpFilter(entry.filter) + "\n";
    }
    return text;
  }

  // A failed connect: its error, status 5 "invalid", IPv6 unblocked, no child of it left.
  void ExpectFailure(const Hysteria2ConnectRequest& request, const std::string& expected_error) {
    std::string error = "left over";
    EXPECT_FALSE(runtime().ConnectHysteria2(request, error));
    EXPECT_EQ(error, expected_error);
    EXPECT_EQ(runtime().GetState(), "invalid");
    EXPECT_EQ(runtime().GetConnectionInfo().status, ConnectionStatus::Invalid);
    EXPECT_EQ(InstalledFilters(), "") << "the IPv6 block outlived the failed connect";
    EXPECT_TRUE(LastChildEnded()) << "a child of the failed connect still runs";
  }

  // A connect that fails before the attempt loop: nothing changed, nothing blocked.
  void ExpectRefusal(const std::string& expected_error) {
    const std::string children_before = children_.Record();
    std::string error = "left over";
    EXPECT_FALSE(runtime().ConnectHysteria2(Request(), error));
    EXPECT_EQ(error, expected_error);
    EXPECT_EQ(TimedLines(), At(0, "ConnectHysteria2 started") + At(0, expected_error));
    EXPECT_EQ(runtime().GetState(), "disconnected");
    EXPECT_EQ(runtime().GetConnectionInfo().status, ConnectionStatus::Disconnected);
    EXPECT_EQ(engine_->Calls().find("IPv6"), std::string::npos) << engine_->Calls();
    EXPECT_EQ(children_.Record(), children_before) << "sing-box was started";
  }
};

TEST_F(Hysteria2Connect, UpWritesEveryStepRecordsTheConnectionAndKeepsIpv6Blocked) {
  QueueReadyChildren();
  ShowTun();
  std::string state_while_connecting;
  ConnectionStatus status_while_connecting = ConnectionStatus::Invalid;
  clock_.OnPause(milliseconds(500), [&] {
    state_while_connecting = runtime().GetState();
    status_while_connecting = runtime().GetConnectionInfo().status;
  });
  std::string error;
  ASSERT_TRUE(runtime().ConnectHysteria2(Request(), error)) << error;

  EXPECT_EQ(state_while_connecting, "connecting");
  EXPECT_EQ(status_while_connecting, ConnectionStatus::Connecting);
  // Three clocks: the connect's, the attempt loop's and the TUN check's.
  EXPECT_EQ(TimedLines(), At(0, "ConnectHysteria2 started") + At(0, "WinTUN driver check passed") +
                              At(0, "Blocking IPv6...") + At(0, "Resolving domain: 203.0.113.7") +
                              At(0, "Resolved 203.0.113.7 -> 203.0.113.7") +
                              At(0, "Connection attempt 1/3") +
                              At(0, "sing-box start attempt 1/3") + At(500, "sing-box running") +
                              At(0, "Waiting for sing-box started signal...") +
                              At(0, "sing-box reported started, verifying TUN interface...") +
                              At(0, "TUN 'OrvoVPN' is UP (verify attempt 1/10)") +
                              At(300, "TUN ready, routes settled"));
  EXPECT_EQ(clock_.TakePauses(), "500 300");
  EXPECT_EQ(resolver_->Queries(), "") << "a literal is used as it is";
  const std::string log = log_.StandardError();
  const std::string config = children_.LastChild()->input;
  EXPECT_NE(log.find("ORVO_SVC: === HYSTERIA2 CONFIG BUILD ===\n"
                     "ORVO_SVC: server_ip: 203.0.113.7\n"
                     "ORVO_SVC: server_domain: hy.example.net\n"
                     "ORVO_SVC: port: 443\n"
                     "ORVO_SVC: password: [SET] (len=21)\n"
                     "ORVO_SVC: has_obfs: false\n"
                     "ORVO_SVC: use_tor: false\n"
                     "ORVO_SVC: =================================\n"
                     "ORVO_SVC: Generated sing-box config (" +
                     std::to_string(config.size()) + " bytes)\n"),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("ORVO_SVC: Hysteria2 connected successfully!\n"), std::string::npos);
  EXPECT_NE(config.find("\"server\": \"203.0.113.7\""), std::string::npos) << config;
  EXPECT_EQ(log.find("correct horse battery"), std::string::npos) << "the password was logged";
  const std::wstring debugger = log_.Debugger();
  EXPECT_NE(debugger.find(L"ORVO_SVC: IPv6 blocked before connection\n"), std::wstring::npos);
  EXPECT_NE(debugger.find(L"ORVO_SVC: Hysteria2 connected successfully\n"), std::wstring::npos);
  EXPECT_EQ(debugger.find(L"correct horse battery"), std::wstring::npos);

  const ConnectionInfo info = runtime().GetConnectionInfo();
  EXPECT_EQ(runtime().GetState(), "connected");
  EXPECT_EQ(info.status, ConnectionStatus::Connected);
  EXPECT_EQ(info.server_ip, "203.0.113.7");
  EXPECT_EQ(info.worker_endpoint, "203.0.113.7:443");
  EXPECT_EQ(info.protocol, "hysteria2");
  EXPECT_FALSE(info.use_tor);
  EXPECT_EQ(info.connected_at, kNow);
  EXPECT_EQ(info.assigned_ip, "");
  EXPECT_EQ(info.bytes_rx, 0U);
  EXPECT_EQ(info.bytes_tx, 0U);
  // The tunnel keeps IPv6 blocked until the disconnect.
  EXPECT_EQ(InstalledFilters(),
            platform::DescribeWfpFilter(PlanIpv6Block(WfpManager::kSublayerKey)) + "\n");
  EXPECT_FALSE(LastChildEnded());
}

TEST_F(Hysteria2Connect, RefusesAtOnceWithoutTheWintunDriver) {
  wintun_installed_ = false;
  ExpectRefusal("ERR_WINTUN_NOT_INSTALLED: WinTUN driver not installed. Please reinstall OrvoVPN.");
}

TEST_F(Hysteria2Connect, ChildThatAlwaysExitsAtOnceGetsThreeStartsInEachOfThreeAttempts) {
  for (int i = 0; i < 9; ++i) {
    children_.scripts.push_back(orvo_test::FakeChildScript::ExitsWith(1));
  }
  ExpectFailure(Request(), kStartError);
  EXPECT_EQ(LoopLines(), ThreeAttempts(
                             4000,
                             [](long long start) {
                               return At(start, kStartError) + At(start, "Retrying in 1s...") +
                                      At(start + 1000, "sing-box start attempt 2/3") +
                                      At(start + 1000, kStartError) +
                                      At(start + 1000, "Retrying in 1s...") +
                                      At(start + 2000, "sing-box start attempt 3/3") +
                                      At(start + 2000, kStartError);
                             },
                             [](long long start) {
                               return At(start + 2000, "sing-box failed, retrying connection...");
                             }));
  EXPECT_EQ(clock_.TakePauses(), "1000 1000 2000 1000 1000 2000 1000 1000");
}

TEST_F(Hysteria2Connect, ChildDeadHalfASecondAfterItsStartIsACrash) {
  clock_.OnPause(milliseconds(500), [this] { children_.LastChild()->End(2); });
  ExpectFailure(Request(), kCrashUnexpected);
  EXPECT_EQ(LoopLines(), ThreeAttempts(
                             5500,
                             [](long long start) {
                               return At(start + 500, "sing-box crashed") +
                                      At(start + 500, "Retrying in 1s...") +
                                      At(start + 1500, "sing-box start attempt 2/3") +
                                      At(start + 2000, "sing-box crashed") +
                                      At(start + 2000, "Retrying in 1s...") +
                                      At(start + 3000, "sing-box start attempt 3/3") +
                                      At(start + 3500, "sing-box crashed");
                             },
                             [](long long start) {
                               return At(start + 3500, "sing-box failed, retrying connection...");
                             }));
  EXPECT_EQ(clock_.TakePauses(),
            "500 1000 500 1000 500 2000 500 1000 500 1000 500 2000 500 1000 500 1000 500");
}

// The wrapper refuses a document while the child of an earlier connect still runs.
TEST_F(Hysteria2Connect, SecondConnectWhileUpIsRefusedByTheWrapperInEveryAttempt) {
  ConnectUp();
  log_.Clear();
  clock_.TakePauses();
  std::string error;

  EXPECT_FALSE(runtime().ConnectHysteria2(Request(), error));
  const std::string refused = "ERR_SINGBOX_CREATE: Service already running";
  EXPECT_EQ(error, refused);
  EXPECT_EQ(LoopLines(), At(0, "Connection attempt 1/3") + At(0, "sing-box start attempt 1/3") +
                             At(0, refused) + At(0, "sing-box failed, retrying connection...") +
                             At(2000, "Connection attempt 2/3") +
                             At(2000, "sing-box start attempt 1/3") + At(2000, refused) +
                             At(2000, "sing-box failed, retrying connection...") +
                             At(4000, "Connection attempt 3/3") +
                             At(4000, "sing-box start attempt 1/3") + At(4000, refused));
  EXPECT_EQ(clock_.TakePauses(), "2000 2000");
  EXPECT_EQ(runtime().GetState(), "invalid");
  // Neither connect looks at the state it finds: the first tunnel's child is left alone.
  EXPECT_FALSE(LastChildEnded());
}

TEST_F(Hysteria2Connect, ChildThatNeverReportsReadyTimesOutInEachAttempt) {
  // The wrapper's 600 pauses of its 60-second wait take no time on the test's thread.
  wrapper_sleeper_.MakeOwnerPausesInstant();
  const std::string timed_out = "ERR_SINGBOX_TIMEOUT: sing-box did not start within 60 seconds";
  ExpectFailure(Request(), timed_out);
  EXPECT_EQ(LoopLines(), ThreeAttempts(
                             1500,
                             [&](long long start) {
                               return At(start + 500, "sing-box running") +
                                      At(0, "Waiting for sing-box started signal...") +
                                      At(0, timed_out);
                             },
                             [](long long start) {
                               return At(start + 500, "TUN not ready, cleaning up and retrying...");
                             }));
  EXPECT_EQ(clock_.TakePauses(), "500 1000 500 1000 500");
  EXPECT_EQ(CountInLog("ORVO_SVC: Timeout waiting for started signal after 60000ms\n"), 3U);
  // The adapters are removed between the attempts, not after the last.
  EXPECT_EQ(runtime_devices_.record, "open\nopen\n");
}

TEST_F(Hysteria2Connect, ChildThatDiesBeforeItsReadinessLineCrashedDuringStartup) {
  // The child ends during the wrapper's first pause of its wait for the readiness line.
  wrapper_sleeper_.OnOwnerPause(milliseconds(100), [this] { children_.LastChild()->End(1); });
  const std::string crashed = "ERR_SINGBOX_CRASH: sing-box exited during startup";
  ExpectFailure(Request(), crashed);
  EXPECT_EQ(LoopLines().substr(0, LoopLines().find(At(1500, "Connection attempt 2/3"))),
            At(0, "Connection attempt 1/3") + At(0, "sing-box start attempt 1/3") +
                At(500, "sing-box running") + At(0, "Waiting for sing-box started signal...") +
                At(0, crashed) + At(500, "TUN not ready, cleaning up and retrying..."));
  EXPECT_EQ(CountInLog(crashed), 3U);
  EXPECT_EQ(clock_.TakePauses(), "500 1000 500 1000 500");
}

TEST_F(Hysteria2Connect, ChildThatDiesDuringTheTunCheckCrashedAfterReportingStarted) {
  QueueReadyChildren(3);
  clock_.OnPause(milliseconds(200), [this] { children_.LastChild()->End(1); });
  const std::string crashed = "ERR_SINGBOX_CRASH: sing-box exited after reporting started";
  ExpectFailure(Request(), crashed);
  EXPECT_EQ(LoopLines(), ThreeAttempts(
                             1700,
                             [&](long long start) {
                               return At(start + 500, "sing-box running") +
                                      At(0, "Waiting for sing-box started signal...") +
                                      At(0,
                                         "sing-box reported started, verifying TUN interface...") +
                                      At(200, crashed);
                             },
                             [](long long start) {
                               return At(start + 700, "TUN not ready, cleaning up and retrying...");
                             }));
  EXPECT_EQ(clock_.TakePauses(), "500 200 1000 500 200 1000 500 200");
}

// The child ends while the connect lets the routes settle, and its reader sees it while the
// connect still counts as connecting: the tunnel is reported invalid as soon as it is up.
TEST_F(Hysteria2Connect, ChildEndingAsTheConnectFinishesLeavesItInvalid) {
  QueueReadyChildren();
  ShowTun();
  clock_.OnPause(milliseconds(300), [this] {
    children_.LastChild()->End(9);
    orvo_test::PollUntil([this] { return !singbox_.RunningFlag(); });
  });
  std::string error;
  EXPECT_TRUE(runtime().ConnectHysteria2(Request(), error)) << error;
  EXPECT_EQ(runtime().GetState(), "invalid");
  EXPECT_EQ(
      CountInLog("ORVO_SVC: sing-box exited with code 9 while connected, connection invalid\n"),
      1U);
}

TEST_F(Hysteria2Connect, TunThatStaysDownIsCheckedTenTimesInEachAttempt) {
  QueueReadyChildren(3);
  ShowTun(L"OrvoVPN", 2);
  ExpectFailure(Request(), kTunNotUp);
  std::string first_attempt = At(0, "Connection attempt 1/3") +
                              At(0, "sing-box start attempt 1/3") + At(500, "sing-box running") +
                              At(0, "Waiting for sing-box started signal...") +
                              At(0, "sing-box reported started, verifying TUN interface...");
  for (int check = 0; check < 10; ++check) {
    first_attempt += At(check * 200, "TUN 'OrvoVPN' found but OperStatus=2, waiting...");
  }
  first_attempt += At(2000, kTunNotUp) + At(2500, "TUN not ready, cleaning up and retrying...") +
                   At(3500, "Connection attempt 2/3");
  EXPECT_EQ(LoopLines().substr(0, first_attempt.size()), first_attempt);
  const std::string checks = "200 200 200 200 200 200 200 200 200 200";
  EXPECT_EQ(clock_.TakePauses(), "500 " + checks + " 1000 500 " + checks + " 1000 500 " + checks);
  EXPECT_EQ(CountInLog(kTunNotUp), 3U);
  EXPECT_EQ(runtime_devices_.record, "open\nopen\n");
}

TEST_F(Hysteria2Connect, InterfaceTableThatCannotBeReadCountsAsTunNotUp) {
  QueueReadyChildren(3);
  ShowTun();
  ip_helper_->Fail("GetInterfaceTable", 50);
  ExpectFailure(Request(), kTunNotUp);
  const std::string log = TimedLines();
  for (int check = 1; check <= 10; ++check) {
    EXPECT_NE(log.find(At((check - 1) * 200,
                          "GetIfTable2 failed, attempt " + std::to_string(check) + "/10")),
              std::string::npos)
        << log;
  }
  EXPECT_EQ(log.find("TUN 'OrvoVPN' found"), std::string::npos);
  EXPECT_EQ(log.find("TUN 'OrvoVPN' is UP"), std::string::npos);
}

// Only an alias of exactly "OrvoVPN" is the TUN interface; look-alikes that are up do not count.
TEST_F(Hysteria2Connect, TunIsFoundByItsWholeAliasInItsLetterCase) {
  struct Case {
    std::vector<platform::InterfaceRow> rows;
    bool connects;
  };
  const Case cases[] = {
      {{{1, 1, L"orvovpn", L"", 1}, {2, 2, L"ORVOVPN", L"", 1}}, false},
      {{{3, 3, L"OrvoVPN2", L"", 1}, {4, 4, L"OrvoVPN ", L"", 1}, {5, 5, L"OrvoVP", L"", 1}},
       false},
      {{{1, 1, L"orvovpn", L"", 1}, {3, 3, L"OrvoVPN2", L"", 1}, {kTunLuid, 7, L"OrvoVPN", L"", 1}},
       true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.connects ? "exact alias present" : "look-alikes only");
    runtime().Disconnect();
    log_.Clear();
    QueueReadyChildren(3);
    ip_helper_->SetInterfaces(c.rows);
    std::string error;
    EXPECT_EQ(runtime().ConnectHysteria2(Request(), error), c.connects) << error;
    const std::string lines = TimedLines();
    if (c.connects) {
      EXPECT_NE(lines.find("TUN 'OrvoVPN' is UP (verify attempt 1/10)"), std::string::npos);
      runtime().EnableKillSwitch();
      EXPECT_NE(log_.StandardError().find("has_tun=1"), std::string::npos);
      runtime().DisableKillSwitch();
    } else {
      EXPECT_EQ(error, kTunNotUp);
      EXPECT_EQ(lines.find("TUN 'OrvoVPN' found"), std::string::npos) << lines;
      EXPECT_EQ(lines.find("TUN 'OrvoVPN' is UP"), std::string::npos) << lines;
    }
  }
}

TEST_F(Hysteria2Connect, ServerNameIsResolvedToItsFirstAddress) {
  QueueReadyChildren();
  ShowTun();
  resolver_->Answer("hy.example.net", {"198.51.100.20", "198.51.100.21"});
  std::string error;
  ASSERT_TRUE(runtime().ConnectHysteria2(Request("hy.example.net"), error)) << error;
  EXPECT_NE(log_.StandardError().find("ORVO_SVC: Resolved hy.example.net -> 198.51.100.20\n" +
                                      At(0, "Resolved hy.example.net -> 198.51.100.20")),
            std::string::npos)
      << log_.StandardError();
  EXPECT_EQ(resolver_->Queries(), "resolve hy.example.net\n");
  EXPECT_NE(children_.LastChild()->input.find("\"server\": \"198.51.100.20\""), std::string::npos);
  EXPECT_EQ(runtime().GetConnectionInfo().server_ip, "198.51.100.20");
  EXPECT_EQ(runtime().GetConnectionInfo().worker_endpoint, "198.51.100.20:443");
}

TEST_F(Hysteria2Connect, UnresolvableNameGoesIntoTheDocumentAsItIs) {
  struct Case {
    const char* name;
    bool known_without_addresses;
    std::string why;
  };
  const Case cases[] = {
      {"nowhere.invalid", false, "DNS resolution failed for nowhere.invalid: 11001"},
      {"empty.example", true, "No addresses found for empty.example"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    runtime().Disconnect();
    log_.Clear();
    if (c.known_without_addresses) {
      resolver_->Answer(c.name, {});
    }
    QueueReadyChildren();
    ShowTun();
    std::string error;
    ASSERT_TRUE(runtime().ConnectHysteria2(Request(c.name), error)) << error;
    EXPECT_NE(TimedLines().find(At(0, "DNS resolution failed: " + c.why) +
                                At(0, std::string("Continuing with original value: ") + c.name) +
                                At(0, "Connection attempt 1/3")),
              std::string::npos)
        << TimedLines();
    EXPECT_NE(children_.LastChild()->input.find(std::string("\"server\": \"") + c.name + "\""),
              std::string::npos);
    EXPECT_EQ(runtime().GetConnectionInfo().server_ip, c.name);
  }
}

TEST_F(Hysteria2Connect, TorVariantReportsPort8443UnlessObfuscated) {
  struct Case {
    const char* situation;
    std::optional<std::string> obfs_password;
    std::string worker_endpoint;
  };
  const Case cases[] = {
      {"no obfuscation password", std::nullopt, "203.0.113.7:8443"},
      {"empty obfuscation password", std::string(), "203.0.113.7:8443"},
      {"obfuscation password", std::string("salt"), "203.0.113.7:9443"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.situation);
    runtime().Disconnect();
    log_.Clear();
    QueueReadyChildren();
    ShowTun();
    Hysteria2ConnectRequest request = Request();
    request.port = 9443;
    request.use_tor = true;
    request.obfs_password = c.obfs_password;
    std::string error;
    ASSERT_TRUE(runtime().ConnectHysteria2Tor(request, error)) << error;
    const ConnectionInfo info = runtime().GetConnectionInfo();
    EXPECT_EQ(info.worker_endpoint, c.worker_endpoint);
    EXPECT_EQ(info.protocol, "hysteria2_tor");
    EXPECT_TRUE(info.use_tor);
    const std::string log = log_.StandardError();
    EXPECT_EQ(TimedLines().substr(0, TimedLines().find(At(0, "Connection attempt 1/3"))),
              At(0, "ConnectHysteria2Tor started") + At(0, "WinTUN driver check passed") +
                  At(0, "Blocking IPv6...") + At(0, "TOR: Resolving domain: 203.0.113.7") +
                  At(0, "TOR: Resolved 203.0.113.7 -> 203.0.113.7"));
    EXPECT_EQ(log.find("HYSTERIA2 CONFIG BUILD"), std::string::npos) << "no summary for Tor";
    EXPECT_NE(log.find("ORVO_SVC: Generated TOR sing-box config (" +
                       std::to_string(children_.LastChild()->input.size()) + " bytes)\n"),
              std::string::npos);
    EXPECT_NE(log.find("ORVO_SVC: Hysteria2 TOR connected successfully!\n"), std::string::npos);
    EXPECT_NE(log_.Debugger().find(L"ORVO_SVC: IPv6 blocked before TOR connection\n"),
              std::wstring::npos);
    EXPECT_NE(log_.Debugger().find(L"ORVO_SVC: Hysteria2 TOR connected successfully\n"),
              std::wstring::npos);
  }
}

TEST_F(Hysteria2Connect, SummaryShowsObfuscationByLengthOnly) {
  QueueReadyChildren();
  ShowTun();
  Hysteria2ConnectRequest request = Request();
  request.obfs_password = "obfs-secret-value";
  std::string error;
  ASSERT_TRUE(runtime().ConnectHysteria2(request, error)) << error;
  const std::string log = log_.StandardError();
  EXPECT_NE(log.find("ORVO_SVC: has_obfs: true\n"
                     "ORVO_SVC: obfs_password: [SET] (len=17)\n"
                     "ORVO_SVC: use_tor: false\n"),
            std::string::npos)
      << log;
  EXPECT_EQ(log.find("obfs-secret-value"), std::string::npos);

  // Present but empty: no obfuscation, and the length line still says it was given.
  runtime().Disconnect();
  log_.Clear();
  QueueReadyChildren();
  request.obfs_password = "";
  ASSERT_TRUE(runtime().ConnectHysteria2(request, error)) << error;
  EXPECT_NE(log_.StandardError().find("ORVO_SVC: has_obfs: false\n"
                                      "ORVO_SVC: obfs_password: [SET] (len=0)\n"),
            std::string::npos);
}

TEST_F(Hysteria2Connect, FailedIpv6BlockIsOnlyAWarning) {
  QueueReadyChildren();
  ShowTun();
  engine_->Fail("Block IPv6", 0x80320035, 1);
  std::string error;
  ASSERT_TRUE(runtime().ConnectHysteria2(Request(), error)) << error;
  EXPECT_NE(TimedLines().find(At(0, "Blocking IPv6...") + At(0, "WARNING: IPv6 block failed")),
            std::string::npos)
      << TimedLines();
  EXPECT_NE(log_.Debugger().find(L"ORVO_SVC: Warning - failed to block IPv6 (continuing anyway)\n"),
            std::wstring::npos);
}

class Hysteria2WithoutSingbox : public orvo_test::RuntimeOnFakes {};

TEST_F(Hysteria2WithoutSingbox, InitializeGoesOnAndConnectsAreRefusedAtOnce) {
  orvo_test::ScratchDirectory empty;
  ASSERT_TRUE(runtime().Initialize(empty.path().wstring()));
  EXPECT_NE(
      log_.StandardError().find("ORVO_SVC: Initializing singbox from: " + empty.path().string() +
                                "\nORVO_SVC: sing-box.exe not found, Hysteria2 disabled\n"),
      std::string::npos)
      << log_.StandardError();
  EXPECT_NE(log_.Debugger().find(L"ORVO_SVC: sing-box.exe not found, Hysteria2 disabled\n"),
            std::wstring::npos);
  log_.Clear();
  const std::string refused = "ERR_SINGBOX_NOT_INIT: sing-box.exe not found in service directory";
  for (const bool tor : {false, true}) {
    std::string error;
    EXPECT_FALSE(tor ? runtime().ConnectHysteria2Tor(Request(), error)
                     : runtime().ConnectHysteria2(Request(), error));
    EXPECT_EQ(error, refused);
  }
  EXPECT_EQ(TimedLines(), At(0, "ConnectHysteria2 started") + At(0, refused) +
                              At(0, "ConnectHysteria2Tor started") + At(0, refused));
  EXPECT_EQ(runtime().GetState(), "disconnected");
  EXPECT_EQ(engine_->Calls().find("IPv6"), std::string::npos) << "IPv6 was blocked";
  EXPECT_EQ(children_.Record(), "");
}

}  // namespace
}  // namespace orvo_vpn_win_svc
