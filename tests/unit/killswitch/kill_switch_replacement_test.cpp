// Replacing an enabled kill switch: the committed state, looked at after every single engine
// call, is always the old kill switch or the new one, never a state without block-all.

#include <gtest/gtest.h>

#include "fakes/fake_host_resolver.h"
#include "fakes/fault_injecting_wfp_engine.h"
#include "fakes/in_memory_wfp_engine.h"
#include "killswitch/wfp_manager.h"
#include "platform/wfp_filter_text.h"

namespace {

using namespace orvo_vpn_win_svc;
using namespace orvo_vpn_win_svc::platform;
using namespace orvo_test;

constexpr uint32_t kInvalidParameter = 0x80320035;

class ReplacementTest : public ::testing::Test {
 protected:
  ReplacementTest()
      : memory_(std::make_shared<InMemoryWfpEngine>()),
        engine_(std::make_shared<orvo_test::FaultInjectingWfpEngine>(memory_)),
        manager_(engine_, std::make_shared<orvo_test::FakeHostResolver>()) {
    old_.vpn_server = "203.0.113.7";
    old_.allow_lan = true;
    old_.tunnel_luid = 5;
    new_.vpn_server = "198.51.100.9";
    new_.allowlist = {"192.0.2.44"};
  }

  // The manager's clean-up is no replacement: stop watching before it runs.
  ~ReplacementTest() override { engine_->OnEachCall(nullptr); }

  std::string Installed() const {
    std::string text;
    for (const WfpFilterEntry& entry : memory_->CommittedFilters()) {
      text += DescribeWfpFilter(entry.filter) + "\n";
    }
    return text;
  }

  static std::string Planned(const KillSwitchConfig& config) {
    return DescribeKillSwitchPlan(
        PlanKillSwitch(config, config.allowlist, WfpManager::kSublayerKey));
  }

  // Records, after every engine call, whether the committed state was one of the two kill
  // switches and whether it kept a destination neither permits out.
  void WatchEveryCall() {
    engine_->OnEachCall([this](const std::string& call) {
      ++calls_seen_;
      const std::string installed = Installed();
      if (installed != Planned(old_) && installed != Planned(new_)) {
        ADD_FAILURE() << "after " << call << " the engine held:\n" << installed;
      }
      WfpConnection probe;
      probe.remote_ipv4 = 0x08080808;
      probe.local_interface = 9;
      if (memory_->Classify(probe, WfpManager::kSublayerKey).permitted) {
        ADD_FAILURE() << "after " << call << " 8.8.8.8 was reachable";
      }
      probe.layer = WfpLayer::kAleAuthConnectV6;
      probe.remote_ipv6 = {0x20, 0x01, 0x48, 0x60, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x88, 0x88};
      if (memory_->Classify(probe, WfpManager::kSublayerKey).permitted) {
        ADD_FAILURE() << "after " << call << " 2001:4860::8888 was reachable";
      }
    });
  }

  std::shared_ptr<InMemoryWfpEngine> memory_;
  std::shared_ptr<orvo_test::FaultInjectingWfpEngine> engine_;
  KillSwitchConfig old_;
  KillSwitchConfig new_;
  int calls_seen_ = 0;
  WfpManager manager_;
};

TEST_F(ReplacementTest, BlockAllNeverLapsesWhileTheNewKillSwitchGoesIn) {
  ASSERT_TRUE(manager_.Initialize());
  ASSERT_TRUE(manager_.EnableKillSwitch(old_));
  ASSERT_EQ(Installed(), Planned(old_));
  WatchEveryCall();
  ASSERT_TRUE(manager_.EnableKillSwitch(new_));
  EXPECT_GT(calls_seen_, 20) << "every delete and add was watched";
  EXPECT_TRUE(manager_.IsKillSwitchEnabled());
  EXPECT_EQ(Installed(), Planned(new_));
}

// A replacement that cannot be committed leaves the previous kill switch in force (fail closed).
TEST_F(ReplacementTest, FailedReplacementKeepsThePreviousKillSwitch) {
  struct Case {
    const char* situation;
    const char* fault;
    std::string last_error;
  };
  const Case cases[] = {
      {"transaction cannot begin", "BeginTransaction",
       "FwpmTransactionBegin failed: " + std::to_string(kFwpErrorTimeout)},
      {"an old filter cannot be deleted", "DeleteFilter",
       "FwpmFilterDeleteById failed: " + std::to_string(kFwpErrorTimeout)},
      {"IPv4 block-all filter fails", "\"ORVO: Block All (Kill Switch)\"",
       "AddBlockAllFilter IPv4 failed: " + std::to_string(kFwpErrorTimeout)},
      {"commit fails", "CommitTransaction",
       "FwpmTransactionCommit failed: " + std::to_string(kFwpErrorTimeout)},
  };
  ASSERT_TRUE(manager_.Initialize());
  for (const Case& c : cases) {
    SCOPED_TRACE(c.situation);
    ASSERT_TRUE(manager_.EnableKillSwitch(old_));
    engine_->Fail(c.fault, kFwpErrorTimeout, 1);
    WatchEveryCall();
    EXPECT_FALSE(manager_.EnableKillSwitch(new_));
    engine_->OnEachCall(nullptr);
    EXPECT_EQ(manager_.last_error(), c.last_error);
    EXPECT_TRUE(manager_.IsKillSwitchEnabled());
    EXPECT_EQ(Installed(), Planned(old_));
    // The manager still knows the old filters: switching off removes all of them.
    ASSERT_TRUE(manager_.DisableKillSwitch());
    EXPECT_EQ(Installed(), "");
  }
}

TEST_F(ReplacementTest, AFilterAlreadyGoneDoesNotStopTheReplacement) {
  ASSERT_TRUE(manager_.Initialize());
  ASSERT_TRUE(manager_.EnableKillSwitch(old_));
  // Someone else (an administrator's tool) removed the server permit.
  WfpSessionOpen other = memory_->OpenSession({L"other", L"", false, 0});
  ASSERT_EQ(other.session->DeleteFilter(memory_->CommittedFilters().front().id), kWfpSuccess);
  ASSERT_TRUE(manager_.EnableKillSwitch(new_));
  EXPECT_NE(Installed().find("remote_address=198.51.100.9/32"), std::string::npos);
  EXPECT_EQ(Installed().find("remote_address=203.0.113.7/32"), std::string::npos);
}

}  // namespace
