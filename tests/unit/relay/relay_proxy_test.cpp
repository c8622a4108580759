#include "relay/relay_proxy.h"

#include <gtest/gtest.h>

#include <map>

#include "fakes/fake_child_processes.h"
#include "platform/log_capture.h"
#include "platform/text_encoding.h"
#include "singbox/singbox_protocol.h"
#include "support/case_file.h"
#include "support/test_clock.h"

namespace orvo_vpn_win_svc {
namespace {

using orvo_test::FakeChildScript;

class RelayProxyTest : public ::testing::Test {
 protected:
  // The request of the relay document in tests/golden/unit/singbox/relay.json.
  bool Start() {
    return relay_.Start({"relay.example.com", 9443, "relay-p\xC3\xA4ssword",
                         "Xq3LmT8vRk2Wn5PzYc7HdJ4sGb9FaE6uNw1VoKi0Rtg=", 10808},
                        error_);
  }

  static std::string Golden(const std::string& section) {
    return orvo_test::GoldenText("unit/relay/relay.txt", section);
  }

  std::string error_;
  std::map<std::string, platform::Ipv4Resolution> resolutions_{
      {"relay.example.com", {0, {"192.0.2.44", "192.0.2.45"}}}};
  orvo_test::FakeChildProcesses children_;
  orvo_test::TestClock sleeper_{100};
  SparedProcesses spared_;
  LogCapture log_;
  RelayProxy relay_{{children_, sleeper_, spared_,
                     [] { return std::wstring(L"/opt/orvo/orvo-vpn-svc"); },
                     [this](const std::string& host) { return resolutions_[host]; },
                     platform::StartSystemThread}};
};

TEST_F(RelayProxyTest, StartsTheChildWithTheDocumentOnItsInputAndSparesIt) {
  children_.scripts.push_back(FakeChildScript{.output = {"INFO sing-box started\n"}});
  ASSERT_TRUE(Start()) << error_;
  EXPECT_TRUE(orvo_test::MatchesChecks(log_.StandardError(), Golden("start")));
  EXPECT_EQ(children_.Record(), "job\nspawn \"" + WideToUtf8(SingboxPathIn(L"/opt/orvo")) +
                                    "\" run -c stdin | dir=/opt/orvo input=yes order=input-first "
                                    "die_with_owner=yes\nwrite 1001 770 bytes\nclose input "
                                    "1001\nassign 1001\n");
  EXPECT_EQ(children_.LastChild()->input + "\n", orvo_test::GoldenText("unit/singbox/relay.json"));
  EXPECT_TRUE(spared_.Contains(1001));

  log_.Clear();
  EXPECT_FALSE(Start());
  EXPECT_EQ(error_, "Relay proxy already running");
  EXPECT_EQ(log_.StandardError(), Golden("refused"));
  log_.Clear();
  relay_.Stop();
  EXPECT_EQ(log_.StandardError(), Golden("stopped"));
  EXPECT_FALSE(relay_.IsRunning());
  EXPECT_FALSE(spared_.Contains(1001));
}

TEST_F(RelayProxyTest, ResolutionFailuresEndTheStartBeforeAnyChild) {
  resolutions_["relay.example.com"] = {-2, {}};
  EXPECT_FALSE(Start());
  EXPECT_EQ(error_, "DNS resolution failed for relay.example.com: -2");
  resolutions_["relay.example.com"] = {0, {}};
  EXPECT_FALSE(Start());
  EXPECT_EQ(error_, "No addresses found for relay.example.com");
  EXPECT_EQ(children_.Record(), "");
}

// Each attempt waits 30 s for the readiness text, in pauses of 100 ms.
TEST_F(RelayProxyTest, SilentChildIsTriedThreeTimesOneSecondApart) {
  EXPECT_FALSE(Start());
  EXPECT_EQ(sleeper_.Count(std::chrono::milliseconds(100)), 3 * 300);
  EXPECT_EQ(error_, "Relay sing-box did not start within 30 seconds");
  EXPECT_TRUE(orvo_test::MatchesChecks(log_.StandardError(), Golden("silent")));
  EXPECT_EQ(sleeper_.Count(std::chrono::milliseconds(1000)), 2);
  EXPECT_EQ(children_.LastChild()->id, 1003U);
}

}  // namespace
}  // namespace orvo_vpn_win_svc
