// The Hysteria2 connect on fakes, told as transcripts: its result, state and record, the pauses
// it made, the adapter clean-ups and filters it left, and its "[Nms]" progress lines, for every
// way it can go.
#include <gtest/gtest.h>

#include <algorithm>

#include "platform/text_encoding.h"
#include "support/poll.h"
#include "unit/runtime/runtime_on_fakes.h"

namespace orvo_vpn_win_svc {
namespace {

using orvo_test::FakeChildScript;
using std::chrono::milliseconds;

class Hysteria2Connect : public orvo_test::RuntimeOnFakes,
                         public ::testing::WithParamInterface<const char*> {
 protected:
  std::string Outcome(bool up, const std::string& error) {
    const ConnectionInfo info = runtime().GetConnectionInfo();
    std::string cleanups = runtime_devices_.record;
    runtime_devices_.record.clear();
    return std::string(up ? "up" : "failed") + " [" + error + "] " + runtime().GetState() +
           " status " + std::to_string(static_cast<int>(info.status)) + "\nrecord " +
           info.server_ip + " " + info.worker_endpoint + " " + info.protocol + " tor " +
           std::to_string(info.use_tor) + " at " + std::to_string(info.connected_at) + "\npauses " +
           clock_.TakePauses() + "\nadapter clean-ups " +
           std::to_string(std::count(cleanups.begin(), cleanups.end(), '\n')) + "\nfilters " +
           std::to_string(std::ranges::count(engine_->Filters(), '\n')) + "\nchild left running " +
           std::to_string(!LastChildEnded()) + "\n" + resolver_->Queries() + TimedLines() +
           ReadinessWaits();
  }

  // The wrapper's lines that give how long each wait for the readiness line may last.
  std::string ReadinessWaits() const {
    return orvo_test::KeptLines(log_.StandardError(), [](const std::string& line) {
      return line.find("started signal (max") != std::string::npos ||
             line.starts_with("ORVO_SVC: Timeout waiting");
    });
  }
};

TEST_P(Hysteria2Connect, Transcript) {
  const std::string name = GetParam();
  if (name != "NoSingbox") {
    Initialize();
  }
  Hysteria2ConnectRequest request = Request();
  bool tor = false;
  if (name == "Up" || name == "FailedIpv6Block" || name == "ResolvedName" ||
      name == "UnresolvableName" || name == "NameWithoutAddresses" || name.starts_with("Tor") ||
      name.starts_with("KillSwitch")) {
    QueueReadyChildren();
    ShowTun();
  }
  if (name == "NoWintunDriver") {
    wintun_installed_ = false;
  } else if (name == "NoSingbox") {
    orvo_test::ScratchDirectory empty;
    ASSERT_TRUE(runtime().Initialize(empty.path().wstring()));
    log_.Clear();
  } else if (name.starts_with("KillSwitch")) {  // the refresh adds the server's and TUN's permits
    ASSERT_TRUE(runtime().EnableKillSwitch());
    if (name == "KillSwitchRefreshCannotCommit") {
      engine_->Fail("CommitTransaction", 0x80320012);
    }
  } else if (name == "ChildAlwaysExits") {
    children_.scripts.assign(9, FakeChildScript{.exit_code = 1});
  } else if (name == "ChildDeadAfterHalfASecond") {
    clock_.OnOwnerPause(milliseconds(500), [this] { children_.LastChild()->End(2); });
  } else if (name == "SecondConnectWhileUp") {
    ConnectUp();
    log_.Clear();
    clock_.TakePauses();
  } else if (name == "ChildNeverReady") {
    wrapper_sleeper_.MakeOwnerPausesInstant();  // the wrapper's 60-second wait in no time
  } else if (name == "ChildDiesBeforeReady") {
    wrapper_sleeper_.OnOwnerPause(milliseconds(100), [this] { children_.LastChild()->End(1); });
  } else if (name == "ChildDiesDuringTunCheck") {
    QueueReadyChildren(3);
    clock_.OnOwnerPause(milliseconds(200), [this] { children_.LastChild()->End(1); });
  } else if (name == "TunStaysDown") {
    QueueReadyChildren(3);
    ShowTun(L"OrvoVPN", 2);
  } else if (name == "InterfaceTableUnreadable") {
    QueueReadyChildren(3);
    ShowTun();
    ip_helper_->Fail("GetInterfaceTable", 50);
  } else if (name == "LookAlikeAliasesOnly") {
    QueueReadyChildren(3);
    ip_helper_->SetInterfaces({{1, 1, L"orvovpn", L"", 1},
                               {2, 2, L"ORVOVPN", L"", 1},
                               {3, 3, L"OrvoVPN2", L"", 1},
                               {4, 4, L"OrvoVPN ", L"", 1},
                               {5, 5, L"OrvoVP", L"", 1}});
  } else if (name == "FailedIpv6Block") {
    engine_->Fail("Block IPv6", 0x80320035, 1);
  } else if (name == "ResolvedName") {
    resolver_->Answer("hy.example.net", {"198.51.100.20", "198.51.100.21"});
    request.server_ip = "hy.example.net";
  } else if (name == "UnresolvableName") {
    request.server_ip = "nowhere.invalid";
  } else if (name == "NameWithoutAddresses") {
    resolver_->Answer("empty.example", {});
    request.server_ip = "empty.example";
  } else if (name.starts_with("Tor")) {
    tor = true;
    request.port = 9443;
    request.use_tor = true;
    if (name == "TorObfuscated") {
      request.obfs_password = "salt";
    }
  }
  std::string error = "left over";
  const bool up = tor ? runtime().ConnectHysteria2Tor(request, error)
                      : runtime().ConnectHysteria2(request, error);
  EXPECT_EQ(Outcome(up, error), orvo_test::GoldenText("runtime/hysteria2_connect.txt", name));
}

INSTANTIATE_TEST_SUITE_P(Runtime, Hysteria2Connect,
                         ::testing::Values("Up", "NoWintunDriver", "ChildAlwaysExits",
                                           "ChildDeadAfterHalfASecond", "SecondConnectWhileUp",
                                           "ChildNeverReady", "ChildDiesBeforeReady",
                                           "ChildDiesDuringTunCheck", "TunStaysDown",
                                           "InterfaceTableUnreadable", "LookAlikeAliasesOnly",
                                           "FailedIpv6Block", "ResolvedName", "UnresolvableName",
                                           "NameWithoutAddresses", "Tor", "TorObfuscated",
                                           "NoSingbox", "KillSwitch",
                                           "KillSwitchRefreshCannotCommit"));

// The summary shows the secrets by their length only.
TEST_F(Hysteria2Connect, SummaryAndDocument) {
  Initialize();
  QueueReadyChildren();
  ShowTun();
  Hysteria2ConnectRequest request = Request();
  request.obfs_password = "obfs-secret-value";
  std::string error;
  ASSERT_TRUE(runtime().ConnectHysteria2(request, error)) << error;
  const std::string config = children_.LastChild()->input;
  const std::string log = log_.StandardError() + WideToUtf8(log_.Debugger());
  EXPECT_EQ(log.find("correct horse"), std::string::npos) << "the password was logged";
  EXPECT_EQ(log.find("obfs-secret"), std::string::npos) << "the obfuscation password was logged";
  const std::string summary = orvo_test::GoldenText("runtime/hysteria2_summary.txt");
  EXPECT_NE(log.find(summary + "ORVO_SVC: Generated sing-box config (" +
                     std::to_string(config.size()) + " bytes)\n"),
            std::string::npos)
      << log;
}

// The child ends while the connect lets the routes settle: the tunnel is invalid once it is up.
TEST_F(Hysteria2Connect, ChildEndingAsTheConnectFinishesLeavesItInvalid) {
  Initialize();
  QueueReadyChildren();
  ShowTun();
  clock_.OnOwnerPause(milliseconds(300), [this] {
    children_.LastChild()->End(9);
    orvo_test::PollUntil([this] { return !singbox_.RunningFlag(); });
  });
  std::string error;
  EXPECT_TRUE(runtime().ConnectHysteria2(Request(), error)) << error;
  EXPECT_EQ(runtime().GetState(), "invalid");
  EXPECT_NE(log_.StandardError().find(
                "ORVO_SVC: sing-box exited with code 9 while connected, connection invalid\n"),
            std::string::npos);
}

}  // namespace
}  // namespace orvo_vpn_win_svc
