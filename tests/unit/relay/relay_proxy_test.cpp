#include "relay/relay_proxy.h"

#include <gtest/gtest.h>

#include <map>

#include "fakes/fake_child_processes.h"
#include "platform/log_capture.h"
#include "platform/text_encoding.h"
#include "singbox/config_documents.h"
#include "singbox/singbox_protocol.h"
#include "support/poll.h"
#include "support/scaled_sleeper.h"

namespace orvo_vpn_win_svc {
namespace {

using orvo_test::FakeChildScript;
using platform::SpawnResult;

class RelayProxyTest : public ::testing::Test {
 protected:
  RelayProxyTest() {
    settings_.relay_domain = "relay.example";
    settings_.relay_port = 8443;
    settings_.password = "pw-secret";
    settings_.obfs_password = "obfs-secret";
    settings_.local_port = 10808;
    resolutions_["relay.example"] = {0, {"198.51.100.7", "198.51.100.8"}};
  }

  std::string ExpectedConfig() const {
    RelayConfigInput input;
    input.relay_domain = settings_.relay_domain;
    input.resolved_address = "198.51.100.7";
    input.relay_port = settings_.relay_port;
    input.password = settings_.password;
    input.obfs_password = settings_.obfs_password;
    input.local_port = settings_.local_port;
    return BuildRelayConfig(input);
  }

  std::string Header() const {
    return "RELAY: ====== START RELAY PROXY ======\n"
           "RELAY: Domain: relay.example\n"
           "RELAY: Port: 8443\n"
           "RELAY: Local port: 10808\n"
           "RELAY: Password: [SET] (len=9)\n"
           "RELAY: OBFS Password: [SET] (len=11)\n";
  }

  std::string SpawnLine() const {
    return "spawn \"" + WideToUtf8(SingboxPathIn(L"/opt/orvo")) +
           "\" run -c stdin | dir=/opt/orvo input=yes order=input-first die_with_owner=yes\n";
  }

  bool Start() { return relay_.Start(settings_, error_); }

  RelayProxyRequest settings_;
  std::string error_;
  std::map<std::string, platform::Ipv4Resolution> resolutions_;
  orvo_test::FakeChildProcesses children_;
  orvo_test::ScaledSleeper sleeper_{100};
  SparedProcesses spared_;
  LogCapture log_;
  bool refuse_reader_ = false;  // the output reader's thread cannot be created
  RelayProxy relay_{
      {children_, sleeper_, spared_, [] { return std::wstring(L"/opt/orvo/orvo-vpn-svc"); },
       [this](const std::string& host) { return resolutions_[host]; },
       [this](std::function<void()> body, std::thread& thread) {
         return !refuse_reader_ && platform::StartSystemThread(std::move(body), thread);
       }}};
};

TEST_F(RelayProxyTest, StartsTheChildWithTheDocumentOnItsInput) {
  children_.scripts.push_back(FakeChildScript::Printing({"INFO sing-box started\n"}));
  ASSERT_TRUE(Start()) << error_;
  const std::string config = ExpectedConfig();
  const std::string size = std::to_string(config.size());
  const std::string log = log_.StandardError();
  const std::string expected_start = Header() +
                                     "RELAY: Service dir: /opt/orvo\n"
                                     "RELAY: Resolving DNS for relay.example...\n"
                                     "RELAY: Resolved relay.example -> 198.51.100.7\n"
                                     "RELAY: Generating sing-box config...\n"
                                     "RELAY: Config generated (" +
                                     size +
                                     " bytes)\n"
                                     "RELAY: Launching sing-box with stdin config...\n"
                                     "RELAY: sing-box attempt 1/3\n"
                                     "RELAY: Config written to stdin (" +
                                     size + " bytes)\n";
  EXPECT_EQ(log.substr(0, expected_start.size()), expected_start);
  EXPECT_NE(log.find("RELAY: >>> Detected 'sing-box started' signal <<<\n"), std::string::npos);
  EXPECT_NE(log.find("INFO sing-box started\n"), std::string::npos);
  const std::string expected_end =
      "RELAY: sing-box started successfully\n"
      "RELAY: ====== PROXY STARTED on 127.0.0.1:10808 ======\n";
  EXPECT_EQ(log.substr(log.size() - expected_end.size()), expected_end);
  EXPECT_EQ(log_.Debugger(), L"");  // the relay child's output goes to standard error only
  EXPECT_EQ(children_.Record(), "job\n" + SpawnLine() + "write 1001 " + size +
                                    " bytes\nclose input 1001\nassign 1001\n");
  EXPECT_EQ(children_.LastChild()->input, config);
  EXPECT_TRUE(relay_.IsRunning());
  EXPECT_TRUE(spared_.Contains(1001));
  EXPECT_EQ(log.find("pw-secret"), std::string::npos);
  EXPECT_EQ(log.find("obfs-secret"), std::string::npos);

  log_.Clear();
  relay_.Stop();
  EXPECT_EQ(log_.StandardError(), "RELAY: Proxy stopped\n");
  EXPECT_NE(children_.Record().find("terminate 1001 code 0\nclose output 1001\n"),
            std::string::npos);
  EXPECT_FALSE(relay_.IsRunning());
  EXPECT_FALSE(spared_.Contains(1001));
  log_.Clear();
  relay_.Stop();
  EXPECT_EQ(log_.StandardError(), "");
}

TEST_F(RelayProxyTest, SecondStartOverALiveChildIsRefused) {
  children_.scripts.push_back(FakeChildScript::Printing({"sing-box started\n"}));
  ASSERT_TRUE(Start());
  const std::string record = children_.Record();
  log_.Clear();
  EXPECT_FALSE(Start());
  EXPECT_EQ(error_, "Relay proxy already running");
  EXPECT_EQ(log_.StandardError(), Header() + "RELAY: ERROR - already running\n");
  EXPECT_EQ(children_.Record(), record);
  EXPECT_TRUE(relay_.IsRunning());
}

TEST_F(RelayProxyTest, StartOverADeadChildReleasesItAndStartsAnew) {
  children_.scripts.push_back(FakeChildScript::Printing({"sing-box started\n"}));
  children_.scripts.push_back(FakeChildScript::Printing({"sing-box started\n"}));
  ASSERT_TRUE(Start());
  children_.LastChild()->End(137);
  EXPECT_FALSE(relay_.IsRunning());
  log_.Clear();
  ASSERT_TRUE(Start()) << error_;
  EXPECT_NE(
      log_.StandardError().find(Header() + "RELAY: Previous sing-box has ended, releasing it\n"
                                           "RELAY: Service dir: /opt/orvo\n"),
      std::string::npos);
  EXPECT_TRUE(relay_.IsRunning());
  EXPECT_EQ(relay_.ChildId(), 1002U);
  EXPECT_FALSE(spared_.Contains(1001));
  EXPECT_TRUE(spared_.Contains(1002));
}

TEST_F(RelayProxyTest, ResolutionFailuresEndTheStartBeforeAnyChild) {
  settings_.relay_domain = "bad.example";
  resolutions_["bad.example"] = {-2, {}};
  EXPECT_FALSE(Start());
  EXPECT_EQ(error_, "DNS resolution failed for bad.example: -2");
  EXPECT_NE(
      log_.StandardError().find("RELAY: Resolving DNS for bad.example...\n"
                                "RELAY: DNS ERROR - DNS resolution failed for bad.example: -2\n"),
      std::string::npos);
  resolutions_["bad.example"] = {0, {}};
  EXPECT_FALSE(Start());
  EXPECT_EQ(error_, "No addresses found for bad.example");
  EXPECT_EQ(children_.Record(), "");
  EXPECT_FALSE(relay_.IsRunning());
}

struct LaunchFailure {
  const char* name;
  FakeChildScript script;
  std::string error;
  bool refuse_reader = false;  // after the configuration was written
};

class RelayProxyLaunchFailure : public RelayProxyTest,
                                public ::testing::WithParamInterface<LaunchFailure> {};

TEST_P(RelayProxyLaunchFailure, EndsAtOnceWithoutRetry) {
  children_.scripts.push_back(GetParam().script);
  refuse_reader_ = GetParam().refuse_reader;
  EXPECT_FALSE(Start());
  EXPECT_EQ(error_, GetParam().error);
  const std::string log = log_.StandardError();
  const std::string written =
      "RELAY: Config written to stdin (" + std::to_string(ExpectedConfig().size()) + " bytes)\n";
  EXPECT_EQ(log.substr(log.find("RELAY: sing-box attempt")),
            std::string("RELAY: sing-box attempt 1/3\n") +
                (GetParam().refuse_reader ? written : "") +
                "RELAY: ERROR - Failed to launch sing-box: " + GetParam().error + "\n");
  EXPECT_FALSE(relay_.IsRunning());
  EXPECT_EQ(relay_.ChildId(), 0U);
  if (auto child = children_.LastChild()) {
    EXPECT_EQ(child->exit_code, 1U);
    EXPECT_FALSE(spared_.Contains(child->id));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RelayProxyLaunchFailure,
    ::testing::Values(
        LaunchFailure{"InputPipe", FakeChildScript::Failing(SpawnResult::Failure::kInputPipe, 8),
                      "Failed to create stdin pipe: 8"},
        LaunchFailure{"OutputPipe", FakeChildScript::Failing(SpawnResult::Failure::kOutputPipe, 8),
                      "Failed to create stdout pipe: 8"},
        LaunchFailure{"CreateProcess",
                      FakeChildScript::Failing(SpawnResult::Failure::kCreateProcess, 2),
                      "Failed to launch sing-box for relay proxy: 2"},
        LaunchFailure{"Write", FakeChildScript::WriteFails(232),
                      "Failed to write config to stdin: 232"},
        LaunchFailure{"ReaderThread", FakeChildScript::Printing({}),
                      "Failed to start relay output reader thread", true}),
    [](const auto& test) { return std::string(test.param.name); });

// The relay's log after a failed launch attempt of a child that stayed silent for 30 s.
std::string SilentAttempt(int attempt, const std::string& size) {
  std::string text = "RELAY: sing-box attempt " + std::to_string(attempt) +
                     "/3\nRELAY: Config written to stdin (" + size +
                     " bytes)\nRELAY: Waiting for sing-box started signal (max 30000ms)...\n";
  for (int elapsed = 5000; elapsed <= 30000; elapsed += 5000) {
    text +=
        "RELAY: Still waiting for started signal... (" + std::to_string(elapsed) + "ms elapsed)\n";
  }
  return text +
         "RELAY: Timeout waiting for started signal after 30000ms\n"
         "RELAY: Relay sing-box did not start within 30 seconds\n";
}

TEST_F(RelayProxyTest, SilentChildIsTriedThreeTimesOneSecondApart) {
  EXPECT_FALSE(Start());
  EXPECT_EQ(error_, "Relay sing-box did not start within 30 seconds");
  const std::string size = std::to_string(ExpectedConfig().size());
  const std::string log = log_.StandardError();
  EXPECT_EQ(log.substr(log.find("RELAY: sing-box attempt 1/3")),
            SilentAttempt(1, size) + "RELAY: Retrying in 1s...\n" + SilentAttempt(2, size) +
                "RELAY: Retrying in 1s...\n" + SilentAttempt(3, size) +
                "RELAY: ERROR - Failed to launch sing-box: Relay sing-box did not start within "
                "30 seconds\n");
  EXPECT_EQ(sleeper_.Count(std::chrono::milliseconds(1000)), 2);
  const std::string record = children_.Record();
  EXPECT_EQ(record.find("job\n"), record.rfind("job\n"));  // one job for all attempts
  for (const char* id : {"1001", "1002", "1003"}) {
    EXPECT_NE(record.find(std::string("terminate ") + id + " code 0\nclose output " + id),
              std::string::npos)
        << id;
  }
  EXPECT_FALSE(relay_.IsRunning());
}

TEST_F(RelayProxyTest, ChildThatExitsIsReportedWithItsCode) {
  for (int i = 0; i < 3; ++i) {
    children_.scripts.push_back(FakeChildScript::ExitsWith(4));
  }
  EXPECT_FALSE(Start());
  EXPECT_EQ(error_, "Relay sing-box exited with code 4");
  const std::string log = log_.StandardError();
  EXPECT_NE(log.find("RELAY: sing-box process died while waiting for started signal\n"
                     "RELAY: Relay sing-box exited with code 4\n"
                     "RELAY: Retrying in 1s...\n"),
            std::string::npos);
  EXPECT_NE(log.find("RELAY: sing-box attempt 3/3\n"), std::string::npos);
}

}  // namespace
}  // namespace orvo_vpn_win_svc
