// The Hysteria2 connect on fakes, for every way it can go: its result, state and record, the
// pauses it made, the adapter clean-ups, filters and child it left, and its "[Nms]" progress
// lines.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

#include "platform/text_encoding.h"
#include "support/poll.h"
#include "unit/runtime/runtime_on_fakes.h"

namespace orvo_vpn_win_svc {
namespace {

using orvo_test::FakeChildScript;
using std::chrono::milliseconds;
using Fakes = orvo_test::RuntimeOnFakes;
constexpr char kGolden[] = "runtime/hysteria2_connect.txt";

struct Case {
  const char* name;
  std::function<void(Fakes&, Hysteria2ConnectRequest&)> arrange;
};

class Hysteria2Connect : public Fakes, public ::testing::WithParamInterface<Case> {
 protected:
  // The runtime on a directory holding sing-box, its version query answered.
  void Initialize() {
    children_.scripts.push_back({.exit_code = 0, .output = {"sing-box version 1.11.0\n"}});
    ASSERT_TRUE(runtime().Initialize(service_dir_));
    log_.Clear();
  }

  std::string Outcome(bool up, const std::string& error) {
    const ConnectionInfo info = runtime().GetConnectionInfo();
    const std::string pauses = clock_.TakePauses();
    const auto lines = [](const std::string& text) {
      return std::to_string(std::ranges::count(text, '\n'));
    };
    bool child_running = false;
    if (const std::shared_ptr<orvo_test::FakeChild> child = children_.LastChild()) {
      std::lock_guard lock(child->mutex);
      child_running = child->exit_code == platform::kStillActive;
    }
    // The progress lines, and the wrapper's lines that give how long each wait for the
    // readiness line may last.
    const std::string progress =
        orvo_test::KeptLines(log_.StandardError(), [](const std::string& line) {
          return line.starts_with("ORVO_SVC: [") ||
                 line.find("started signal (max") != std::string::npos ||
                 line.starts_with("ORVO_SVC: Timeout waiting");
        });
    return std::string(up ? "up" : "failed") + " [" + error + "] " + runtime().GetState() +
           " status " + std::to_string(static_cast<int>(info.status)) + "\nrecord " +
           info.server_ip + " " + info.worker_endpoint + " " + info.protocol + " tor " +
           std::to_string(info.use_tor) + " at " + std::to_string(info.connected_at) + "\npauses " +
           (pauses.empty() ? "none" : pauses) + "\nadapter clean-ups " +
           lines(runtime_devices_.record) + ", filters " + lines(engine_->Filters()) +
           ", child left running " + std::to_string(child_running) + "\n" + progress;
  }
};

// The next `count` children print the readiness line at once and keep running.
void QueueReadyChildren(Fakes& f, int count) {
  for (int i = 0; i < count; ++i) {
    f.children_.scripts.push_back({.output = {"INFO[0000] sing-box started (0.00s)\n"}});
  }
}

Hysteria2ConnectRequest Request() {
  Hysteria2ConnectRequest request;
  request.server_ip = "203.0.113.7";
  request.server_domain = "hy.example.net";
  request.port = 443;
  request.password = "correct horse battery";
  return request;
}

// What comes up: a child that reports ready and keeps running, and the TUN interface up.
void ReadyChildAndTun(Fakes& f) {
  QueueReadyChildren(f, 1);
  f.ip_helper_->SetInterfaces({{0x0035000000000002, 2, L"Ethernet", L"Intel(R) Ethernet", 1},
                               {0x0035000000000007, 7, L"OrvoVPN", L"sing-box TUN", 1}});
}

// Each case changes what would otherwise come up: ReadyChildAndTun and the request of Request().
TEST_P(Hysteria2Connect, Transcript) {
  // A runtime is initialised once: NoSingbox initialises it on a directory without sing-box.
  if (GetParam().name != std::string("NoSingbox")) {
    Initialize();
  }
  ReadyChildAndTun(*this);
  Hysteria2ConnectRequest request = Request();
  GetParam().arrange(*this, request);
  std::string error = "left over";
  const bool up = request.use_tor ? runtime().ConnectHysteria2Tor(request, error)
                                  : runtime().ConnectHysteria2(request, error);
  orvo_test::ExpectMatches(Outcome(up, error), orvo_test::GoldenText(kGolden, GetParam().name));
}

const Case kCases[] = {
    {"Up", [](Fakes&, auto&) {}},
    {"NoWintunDriver", [](Fakes& f, auto&) { f.wintun_installed_ = false; }},
    {"NoSingbox",
     [](Fakes& f, auto&) {
       orvo_test::ScratchDirectory empty;
       ASSERT_TRUE(f.runtime().Initialize(empty.path().wstring()));
       f.log_.Clear();
     }},
    {"ChildAlwaysExits",
     [](Fakes& f, auto&) { f.children_.scripts.assign(9, FakeChildScript{.exit_code = 1}); }},
    {"ChildDeadAfterHalfASecond",
     [](Fakes& f, auto&) {
       f.clock_.OnOwnerPause(milliseconds(500), [&f] { f.children_.LastChild()->End(2); });
     }},
    {"SecondConnectWhileUp",
     [](Fakes& f, auto& r) {
       std::string error;
       ASSERT_TRUE(f.runtime().ConnectHysteria2(r, error)) << error;
       f.log_.Clear();
       f.clock_.TakePauses();
     }},
    // Children that never report ready; the wrapper's 60-second wait in no time.
    {"ChildNeverReady",
     [](Fakes& f, auto&) {
       f.children_.scripts.clear();
       f.wrapper_sleeper_.MakeOwnerPausesInstant();
     }},
    {"ChildDiesBeforeReady",
     [](Fakes& f, auto&) {
       f.children_.scripts.clear();
       f.wrapper_sleeper_.OnOwnerPause(milliseconds(100),
                                       [&f] { f.children_.LastChild()->End(1); });
     }},
    {"ChildDiesDuringTunCheck",
     [](Fakes& f, auto&) {
       QueueReadyChildren(f, 2);
       f.ip_helper_->SetInterfaces({});
       f.clock_.OnOwnerPause(milliseconds(200), [&f] { f.children_.LastChild()->End(1); });
     }},
    // Only the whole alias, letter case included, is the TUN interface; the look-alikes are up
    // and come first. The first reads of the table fail.
    {"TunStaysDown",
     [](Fakes& f, auto&) {
       QueueReadyChildren(f, 2);
       f.ip_helper_->SetInterfaces({{1, 1, L"orvovpn", L"", 1},
                                    {2, 2, L"ORVOVPN", L"", 1},
                                    {3, 3, L"OrvoVPN2", L"", 1},
                                    {4, 4, L"OrvoVPN ", L"", 1},
                                    {5, 5, L"OrvoVP", L"", 1},
                                    {7, 7, L"OrvoVPN", L"", 2}});
       f.ip_helper_->Fail("GetInterfaceTable", 50, 4);
     }},
    {"FailedIpv6Block", [](Fakes& f, auto&) { f.engine_->Fail("Block IPv6", 0x80320035, 1); }},
    {"ResolvedName",
     [](Fakes& f, auto& r) {
       f.resolver_->Answer("hy.example.net", {"198.51.100.20", "198.51.100.21"});
       r.server_ip = "hy.example.net";
     }},
    {"UnresolvableName", [](Fakes&, auto& r) { r.server_ip = "nowhere.invalid"; }},
    {"NameWithoutAddresses",
     [](Fakes& f, auto& r) {
       f.resolver_->Answer("empty.example", {});
       r.server_ip = "empty.example";
     }},
    {"Tor",
     [](Fakes&, auto& r) {
       r.port = 9443;
       r.use_tor = true;
     }},
    {"TorObfuscated",
     [](Fakes&, auto& r) {
       r.port = 9443;
       r.use_tor = true;
       r.obfs_password = "salt";
     }},
    // The refresh adds the server's and the TUN interface's permits to the kill switch.
    {"KillSwitch", [](Fakes& f, auto&) { ASSERT_TRUE(f.runtime().EnableKillSwitch()); }},
    {"KillSwitchRefreshCannotCommit",
     [](Fakes& f, auto&) {
       ASSERT_TRUE(f.runtime().EnableKillSwitch());
       f.engine_->Fail("CommitTransaction", 0x80320012);
     }},
    // The child ends while the connect lets the routes settle: the tunnel is invalid once up.
    {"ChildEndsAsTheConnectFinishes",
     [](Fakes& f, auto&) {
       f.clock_.OnOwnerPause(milliseconds(300), [&f] {
         f.children_.LastChild()->End(9);
         orvo_test::PollUntil([&f] { return !f.singbox_.RunningFlag(); });
       });
     }},
};

INSTANTIATE_TEST_SUITE_P(Runtime, Hysteria2Connect, ::testing::ValuesIn(kCases),
                         [](const auto& test) { return std::string(test.param.name); });

// The summary shows the secrets by their length only, and the size of the document it sends.
TEST_F(Hysteria2Connect, SummaryAndDocument) {
  Initialize();
  Hysteria2ConnectRequest request = Request();
  request.obfs_password = "obfs-secret-value";
  ReadyChildAndTun(*this);
  std::string error;
  ASSERT_TRUE(runtime().ConnectHysteria2(request, error)) << error;
  const std::string log = log_.StandardError() + WideToUtf8(log_.Debugger());
  orvo_test::ExpectMatches(log, orvo_test::GoldenText(kGolden, "Summary"));
  EXPECT_NE(log.find("ORVO_SVC: Generated sing-box config (" +
                     std::to_string(children_.LastChild()->input.size()) + " bytes)\n"),
            std::string::npos);
}

// A failed connect forgets the TUN interface its checks found, so no later refresh permits it.
TEST_F(Hysteria2Connect, AFailedConnectLeavesTheInterfaceItFoundUnpermitted) {
  Initialize();
  QueueReadyChildren(*this, 3);
  ip_helper_->SetInterfaces({{7, 7, L"OrvoVPN", L"", 2}});  // found, never up
  std::string error;
  ASSERT_FALSE(runtime().ConnectHysteria2(Request(), error));
  ASSERT_TRUE(runtime().EnableKillSwitch());
  EXPECT_EQ(engine_->Filters().find("local_interface"), std::string::npos) << engine_->Filters();
}

}  // namespace
}  // namespace orvo_vpn_win_svc
