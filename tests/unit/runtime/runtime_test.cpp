// The runtime's start-up without its facilities, and the kill switch following the tunnel through
// connects, failures and disconnects, on fakes, told as transcripts.
#include <gtest/gtest.h>

#include <algorithm>

#include "platform/text_encoding.h"
#include "singbox/singbox_protocol.h"
#include "unit/runtime/runtime_on_fakes.h"

namespace orvo_vpn_win_svc {
namespace {

class RuntimeLife : public orvo_test::RuntimeOnFakes {
 protected:
  // What happened since the last call: the state, whether the kill switch is on, the debugger
  // lines and standard error.
  std::string Step(const std::string& what) {
    return "-- " + what + "\n" + runtime().GetState() + " kill switch " +
           std::to_string(runtime().IsKillSwitchEnabled()) + "\n" + TakeDebuggerAndErrors();
  }

  // The debugger lines, and the kill-switch lines of standard error.
  std::string TakeDebuggerAndErrors() {
    const std::string errors = log_.StandardError();
    // The child's own output, echoed by the wrapper's reader thread, is left out: it may come
    // before or after the wrapper's start line.
    std::string text = orvo_test::KeptLines(
        TakeDebugger(), [](const std::string& line) { return line.starts_with("ORVO_SVC: "); });
    text +=
        "stderr:\n" + orvo_test::KeptLines(errors, [](const std::string& line) {
          return line.starts_with("ORVO_SVC: ") && (line.find("ill switch") != std::string::npos ||
                                                    line.find("KillSwitch") != std::string::npos);
        });
    // The program's path is the platform's (a backslash and ".exe" on Windows).
    for (size_t at = text.find(singbox_path_); at != std::string::npos;
         at = text.find(singbox_path_)) {
      text.replace(at, singbox_path_.size(), "<sing-box>");
    }
    return text;
  }

  const std::string singbox_path_ = WideToUtf8(SingboxPathIn(service_dir_));

  // The kill switch in force, in short: how many filters, and whether they permit the server
  // and the TUN interface and block IPv6.
  std::string KillSwitchInForce() const {
    const std::string filters = engine_->Filters();
    const auto holds = [&](const char* part, const char* shown) {
      return filters.find(part) == std::string::npos ? "" : shown;
    };
    return "filters " + std::to_string(std::ranges::count(filters, '\n')) +
           holds("remote_address=203.0.113.7/32", " server") +
           holds("local_interface=0x0035000000000007", " tunnel") +
           holds("Block IPv6 (VPN Active)", " IPv6 blocked") + "\n";
  }
};

TEST_F(RuntimeLife, InitializeWithoutSocketLibraryOrSingbox) {
  socket_library_starts_ = false;
  EXPECT_FALSE(runtime().Initialize(service_dir_));
  std::string text = Step("no socket library");
  socket_library_starts_ = true;
  orvo_test::ScratchDirectory empty;
  EXPECT_TRUE(runtime().Initialize(empty.path().wstring()));
  text += Step("no sing-box");
  for (const bool tor : {false, true}) {
    std::string error;
    EXPECT_FALSE(tor ? runtime().ConnectHysteria2Tor(Request(), error)
                     : runtime().ConnectHysteria2(Request(), error));
    text += error + "\n";
  }
  text += Step("connects without sing-box") + children_.Record();
  EXPECT_EQ(text, orvo_test::GoldenText("runtime/runtime_life.txt", "without sing-box"));
}

TEST_F(RuntimeLife, KillSwitchFollowsTheTunnel) {
  Initialize();
  KillSwitchRequest request;
  request.enabled = true;
  request.allow_lan = false;
  request.allowlist = {"192.0.2.44"};
  runtime().UpdateKillSwitchSettings(request);
  std::string text = Step("settings");
  ASSERT_TRUE(runtime().EnableKillSwitch());
  text += Step("enabled") + KillSwitchInForce();
  ConnectUp();
  text += Step("up") + KillSwitchInForce();
  std::string error;
  EXPECT_FALSE(runtime().ConnectHysteria2(Request(), error));
  log_.Clear();
  ASSERT_TRUE(runtime().EnableKillSwitch());
  text += Step("enabled again after a refused connect") + KillSwitchInForce();
  runtime().Disconnect();
  text += Step("disconnected") + KillSwitchInForce();
  QueueReadyChildren(3);
  ShowTun(L"OrvoVPN", 2);
  EXPECT_FALSE(runtime().ConnectHysteria2(Request(), error));
  log_.Clear();
  ASSERT_TRUE(runtime().EnableKillSwitch());
  text += Step("enabled again after a failed connect") + KillSwitchInForce();
  EXPECT_TRUE(runtime().DisableKillSwitch());
  text += Step("disabled") + KillSwitchInForce();
  ASSERT_TRUE(runtime().EnableKillSwitch());
  log_.Clear();
  engine_->Fail("CommitTransaction", 0x80320012);
  ConnectUp();
  text += Step("up, the refresh cannot commit") + KillSwitchInForce();
  EXPECT_EQ(text, orvo_test::GoldenText("runtime/runtime_life.txt", "kill switch"));
}

}  // namespace
}  // namespace orvo_vpn_win_svc
