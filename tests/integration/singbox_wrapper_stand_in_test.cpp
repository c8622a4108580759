// SingboxWrapper driving the real sing-box stand-in through the real child-process seam.
#include <gtest/gtest.h>

#include "fakes/fake_network_devices.h"
#include "fakes/limited_process_table.h"
#include "platform/log.h"
#include "platform/log_capture.h"
#include "platform/text_encoding.h"
#include "singbox/singbox_protocol.h"
#include "singbox/singbox_wrapper.h"
#include "support/poll.h"
#include "support/process_resources.h"
#include "support/scaled_sleeper.h"
#include "support/scratch_directory.h"
#include "support/stand_in.h"

namespace orvo_vpn_win_svc {
namespace {

constexpr char kConfig[] =
    "{\n  \"outbounds\": [\n    {\n      \"password\": \"hunter2-secret\"\n    }\n  ]\n}";

class WrapperWithStandIn : public ::testing::Test {
 protected:
  explicit WrapperWithStandIn(int divisor = 100) : sleeper_(divisor) {}

  void SetUp() override {
    // Warm up what stays open once used (the syslog socket behind the debugger channel).
    DebugLineNarrow("warm-up\n");
    before_ = orvo_test::CountProcessResources();
    ASSERT_TRUE(wrapper_.Initialize(orvo_test::StandInDirectory()));
  }

  // Creates a wrapper-independent check that nothing of a run is left.
  void ExpectNothingLeft() {
    EXPECT_EQ(orvo_test::SettledResources(before_).Text(), before_.Text());
  }

  orvo_test::ScaledSleeper sleeper_;
  orvo_test::LimitedProcessTable processes_;
  orvo_test::FakeNetworkDevices devices_;
  SparedProcesses spared_;
  LogCapture log_;
  orvo_test::ProcessResources before_;
  SingboxWrapper wrapper_{
      {platform::SystemChildProcesses(), sleeper_, {processes_, devices_, sleeper_, spared_}}};
};

TEST_F(WrapperWithStandIn, StartsReadsReadinessAndStops) {
  orvo_test::ScratchDirectory record_dir;
  const std::string record_path = (record_dir.path() / "record.txt").string();
  orvo_test::ScopedEnvironment record("SINGBOX_STAND_IN_RECORD", record_path);
  ASSERT_TRUE(wrapper_.CreateService(kConfig));
  ASSERT_TRUE(wrapper_.Start()) << wrapper_.LastError();
  EXPECT_TRUE(wrapper_.WaitForStarted(60000));
  EXPECT_TRUE(wrapper_.IsRunning());
  // The child read the configuration whole from its standard input, in the service directory.
  const std::string text = orvo_test::ReadWholeFile(record_path);
  EXPECT_EQ(text.substr(text.find("config:\n") + 8), kConfig);
  EXPECT_NE(text.find("args: run -c stdin\n"), std::string::npos);

  EXPECT_FALSE(wrapper_.Start());
  EXPECT_EQ(wrapper_.LastError(), "Service already running");
  EXPECT_TRUE(wrapper_.Stop());
  EXPECT_FALSE(wrapper_.IsRunning());
  EXPECT_FALSE(wrapper_.Start());
  EXPECT_EQ(wrapper_.LastError(), "No config set - call CreateService first");
  ExpectNothingLeft();

  const std::string log = log_.StandardError();
  EXPECT_NE(log.find("stand-in: configuration accepted"), std::string::npos);
  EXPECT_NE(log.find("ORVO_SVC: >>> Detected 'sing-box started' signal <<<\n"), std::string::npos);
  EXPECT_EQ(log.find("hunter2"), std::string::npos);
  EXPECT_EQ(WideToUtf8(log_.Debugger()).find("hunter2"), std::string::npos);
}

TEST_F(WrapperWithStandIn, SplitReadinessTextIsDetected) {
  orvo_test::ScopedEnvironment split("SINGBOX_STAND_IN_READY", "split");
  ASSERT_TRUE(wrapper_.CreateService(kConfig));
  ASSERT_TRUE(wrapper_.Start()) << wrapper_.LastError();
  EXPECT_TRUE(wrapper_.WaitForStarted(60000));
  wrapper_.Stop();
  ExpectNothingLeft();
}

TEST_F(WrapperWithStandIn, SilentChildTimesOutAndIsTerminatedByStop) {
  orvo_test::ScopedEnvironment never("SINGBOX_STAND_IN_READY", "never");
  ASSERT_TRUE(wrapper_.CreateService(kConfig));
  ASSERT_TRUE(wrapper_.Start()) << wrapper_.LastError();
  log_.Clear();
  EXPECT_FALSE(wrapper_.WaitForStarted(60000));
  const std::string log = log_.StandardError();
  EXPECT_NE(log.find("ORVO_SVC: Still waiting for started signal... (60000ms elapsed)\n"
                     "ORVO_SVC: Timeout waiting for started signal after 60000ms\n"),
            std::string::npos);
  EXPECT_TRUE(wrapper_.IsRunning());
  EXPECT_TRUE(wrapper_.Stop());
  EXPECT_FALSE(wrapper_.IsRunning());
  ExpectNothingLeft();
}

TEST_F(WrapperWithStandIn, ChildDyingWhileWaitedForEndsTheWait) {
  orvo_test::ScopedEnvironment code("SINGBOX_STAND_IN_EXIT_CODE", "5");
  orvo_test::ScopedEnvironment delay("SINGBOX_STAND_IN_EXIT_DELAY_MS", "1500");
  ASSERT_TRUE(wrapper_.CreateService(kConfig));
  ASSERT_TRUE(wrapper_.Start()) << wrapper_.LastError();
  EXPECT_FALSE(wrapper_.WaitForStarted(600000));
  EXPECT_NE(log_.StandardError().find(
                "ORVO_SVC: sing-box process died while waiting for started signal\n"),
            std::string::npos);
  // What the child printed as it ended still reaches the log.
  EXPECT_TRUE(orvo_test::PollUntil([&] {
    return log_.StandardError().find("FATAL[0000] stand-in exiting with code 5\n") !=
           std::string::npos;
  }));
  EXPECT_FALSE(wrapper_.IsRunning());
  wrapper_.Stop();
  ExpectNothingLeft();
}

TEST_F(WrapperWithStandIn, StartAfterAnEndedRunReleasesTheOldOne) {
  {
    orvo_test::ScopedEnvironment code("SINGBOX_STAND_IN_EXIT_CODE", "0");
    orvo_test::ScopedEnvironment when("SINGBOX_STAND_IN_EXIT_WHEN", "after-ready");
    orvo_test::ScopedEnvironment delay("SINGBOX_STAND_IN_EXIT_DELAY_MS", "1000");
    ASSERT_TRUE(wrapper_.CreateService(kConfig));
    ASSERT_TRUE(wrapper_.Start()) << wrapper_.LastError();
    EXPECT_TRUE(wrapper_.WaitForStarted(60000));
    ASSERT_TRUE(
        orvo_test::PollUntil([&] { return !wrapper_.IsRunning(); }, std::chrono::seconds(10)));
  }
  ASSERT_TRUE(orvo_test::PollUntil([&] { return wrapper_.CreateService(kConfig); }));
  ASSERT_TRUE(wrapper_.Start()) << wrapper_.LastError();
  EXPECT_TRUE(wrapper_.WaitForStarted(60000));
  wrapper_.Stop();
  ExpectNothingLeft();
}

TEST_F(WrapperWithStandIn, VersionIsTheStandInsFirstLine) {
  EXPECT_EQ(wrapper_.GetVersion(), "sing-box version 1.11.0-stand-in");
  orvo_test::ScopedEnvironment output("SINGBOX_STAND_IN_VERSION_OUTPUT", " \\r\\nsecond\\n");
  EXPECT_EQ(wrapper_.GetVersion(), "unknown");
  ExpectNothingLeft();
}

TEST_F(WrapperWithStandIn, VersionChildThatStaysIsEndedAfterItsWait) {
  orvo_test::ScopedEnvironment hang("SINGBOX_STAND_IN_VERSION_HANG", "closed");
  const auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(wrapper_.GetVersion(), "sing-box version 1.11.0-stand-in");
  EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(2900));
  ExpectNothingLeft();
}

// Start's 500 ms pause is what tells an early exit; it runs at full length here.
class WrapperWithStandInRealPauses : public WrapperWithStandIn {
 protected:
  WrapperWithStandInRealPauses() : WrapperWithStandIn(1) {}
};

TEST_F(WrapperWithStandInRealPauses, EarlyExitReportsTheCodeAndLeavesNothing) {
  orvo_test::ScopedEnvironment code("SINGBOX_STAND_IN_EXIT_CODE", "3");
  ASSERT_TRUE(wrapper_.CreateService(kConfig));
  EXPECT_FALSE(wrapper_.Start());
  EXPECT_EQ(wrapper_.LastError(), "sing-box exited with code 3");
  EXPECT_NE(
      log_.StandardError().find("ORVO_SVC: sing-box early exit: sing-box exited with code 3\n"),
      std::string::npos);
  EXPECT_FALSE(wrapper_.IsRunning());
  ExpectNothingLeft();
}

TEST_F(WrapperWithStandInRealPauses, StrayCopiesAreEndedBeforeAStart) {
  // A copy of the program left from an earlier run, started by this test.
  const platform::SpawnRequest request = orvo_test::StandInRequest();
  auto stray = platform::SystemChildProcesses().Spawn(request);
  ASSERT_TRUE(stray.child);
  processes_.Allow(stray.child->Id());
  ASSERT_TRUE(wrapper_.CreateService(kConfig));
  ASSERT_TRUE(wrapper_.Start()) << wrapper_.LastError();
  EXPECT_EQ(stray.child->Wait(std::chrono::milliseconds(0)), platform::WaitOutcome::kEnded);
  EXPECT_NE(log_.StandardError().find(
                "ORVO_SVC: Found lingering sing-box.exe (PID=" + std::to_string(stray.child->Id()) +
                "), killing...\n"
                "ORVO_SVC: sing-box process terminated successfully\n"),
            std::string::npos);
  EXPECT_TRUE(wrapper_.IsRunning());
  wrapper_.Stop();
}

}  // namespace
}  // namespace orvo_vpn_win_svc
