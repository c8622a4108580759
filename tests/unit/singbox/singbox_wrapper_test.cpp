#include "singbox/singbox_wrapper.h"

#include <gtest/gtest.h>

#include <fstream>

#include "fakes/fake_child_processes.h"
#include "fakes/fake_network_devices.h"
#include "fakes/fake_process_table.h"
#include "platform/log_capture.h"
#include "platform/singbox_image.h"
#include "platform/text_encoding.h"
#include "singbox/singbox_protocol.h"
#include "support/poll.h"
#include "support/scaled_sleeper.h"
#include "support/scratch_directory.h"
#include "support/stand_in.h"

namespace orvo_vpn_win_svc {
namespace {

using orvo_test::FakeChildScript;
using platform::SpawnResult;

constexpr char kConfig[] = R"({"outbounds":[{"password":"hunter2-secret"}]})";
constexpr char kCleanupLines[] =
    "ORVO_SVC: Checking for lingering sing-box processes...\n"
    "ORVO_SVC: Cleaning up WinTUN adapters via SetupAPI...\n"
    "ORVO_SVC: No WinTUN adapters found to remove\n";

class SingboxWrapperTest : public ::testing::Test {
 protected:
  SingboxWrapperTest() {
    directory_.AddFile(WideToUtf8(platform::SingboxImageName()));
    service_dir_ = directory_.path().wstring();
  }

  std::string SpawnLine() const {
    return "spawn \"" + WideToUtf8(SingboxPathIn(service_dir_)) +
           "\" run -c stdin | dir=" + WideToUtf8(service_dir_) +
           " input=yes order=output-first die_with_owner=";
  }

  // Initialises, stores the configuration and starts a child; clears the capture.
  void StartChild() {
    ASSERT_TRUE(wrapper_.Initialize(service_dir_));
    ASSERT_TRUE(wrapper_.CreateService(kConfig));
    ASSERT_TRUE(wrapper_.Start()) << wrapper_.LastError();
    log_.Clear();
  }

  orvo_test::ScratchDirectory directory_;
  std::wstring service_dir_;
  orvo_test::FakeChildProcesses children_;
  orvo_test::FakeProcessTable processes_;
  orvo_test::FakeNetworkDevices devices_;
  orvo_test::ScaledSleeper sleeper_{100};
  SparedProcesses spared_;
  LogCapture log_;
  bool refuse_reader_ = false;  // the output reader's thread cannot be created
  SingboxWrapper wrapper_{{children_,
                           sleeper_,
                           {processes_, devices_, sleeper_, spared_},
                           [this](std::function<void()> body, std::thread& thread) {
                             return !refuse_reader_ &&
                                    platform::StartSystemThread(std::move(body), thread);
                           }}};
};

TEST_F(SingboxWrapperTest, RefusesEverythingUntilTheProgramIsFound) {
  orvo_test::ScratchDirectory empty;
  EXPECT_FALSE(wrapper_.Initialize(empty.path().wstring()));
  EXPECT_EQ(wrapper_.LastError(), "sing-box.exe not found");
  EXPECT_EQ(log_.Debugger(), L"ORVO_SVC: sing-box.exe not found\n");
  EXPECT_EQ(wrapper_.GetVersion(), "not initialized");
  EXPECT_FALSE(wrapper_.CreateService(kConfig));
  EXPECT_EQ(wrapper_.LastError(), "SingboxWrapper not initialized");
  EXPECT_FALSE(wrapper_.Start());
  EXPECT_EQ(wrapper_.LastError(), "SingboxWrapper not initialized");
  EXPECT_EQ(children_.Record(), "");

  EXPECT_TRUE(wrapper_.Initialize(service_dir_));
  EXPECT_TRUE(wrapper_.Initialize(empty.path().wstring()));  // found before: nothing changes
  EXPECT_FALSE(wrapper_.Start());
  EXPECT_EQ(wrapper_.LastError(), "No config set - call CreateService first");
}

TEST_F(SingboxWrapperTest, StartWritesTheConfigurationOnceAndWipesIt) {
  ASSERT_TRUE(wrapper_.Initialize(service_dir_));
  ASSERT_TRUE(wrapper_.CreateService(kConfig));
  ASSERT_TRUE(wrapper_.Start());
  const std::string size = std::to_string(std::string(kConfig).size());
  EXPECT_EQ(children_.Record(), "job\n" + SpawnLine() + "yes\nwrite 1001 " + size +
                                    " bytes\nclose input 1001\nassign 1001\n");
  EXPECT_EQ(children_.LastChild()->input, kConfig);
  EXPECT_EQ(log_.StandardError(),
            std::string("ORVO_SVC: Config stored in memory (will pass via stdin)\n") +
                kCleanupLines +
                "ORVO_SVC: Created Job object for process cleanup\n"
                "ORVO_SVC: Starting sing-box with stdin config (no file on disk)\n"
                "ORVO_SVC: Config written to stdin (" +
                size +
                " bytes), pipe closed\n"
                "ORVO_SVC: Process assigned to job object (PID=1001)\n"
                "ORVO_SVC: sing-box process created, PID=1001, waiting for startup...\n"
                "ORVO_SVC: sing-box started successfully, PID=1001\n");
  EXPECT_EQ(log_.Debugger(),
            L"ORVO_SVC: SingboxWrapper initialized (subprocess mode)\n"
            L"ORVO_SVC: Config stored in memory\n"
            L"ORVO_SVC: Starting: \"" +
                SingboxPathIn(service_dir_) +
                L"\" run -c stdin\n"
                L"ORVO_SVC: sing-box.exe started\n");
  EXPECT_EQ(processes_.Record(), "snapshot\n");
  EXPECT_TRUE(wrapper_.IsRunning());
  EXPECT_EQ(wrapper_.ChildId(), 1001U);

  EXPECT_FALSE(wrapper_.Start());
  EXPECT_EQ(wrapper_.LastError(), "Service already running");
  EXPECT_FALSE(wrapper_.CreateService(kConfig));
  EXPECT_EQ(wrapper_.LastError(), "Service already running");

  log_.Clear();
  EXPECT_TRUE(wrapper_.Stop());
  EXPECT_EQ(log_.StandardError(), "");
  EXPECT_EQ(log_.Debugger(), L"ORVO_SVC: sing-box.exe stopped\n");
  EXPECT_NE(children_.Record().find("terminate 1001 code 0\nclose output 1001\n"),
            std::string::npos);
  EXPECT_FALSE(wrapper_.IsRunning());
  EXPECT_EQ(wrapper_.ChildId(), 0U);

  EXPECT_FALSE(wrapper_.Start());
  EXPECT_EQ(wrapper_.LastError(), "No config set - call CreateService first");
  log_.Clear();
  EXPECT_TRUE(wrapper_.Stop());  // nothing runs: no line at all
  EXPECT_EQ(log_.StandardError() + WideToUtf8(log_.Debugger()), "");
}

struct StartFailure {
  const char* name;
  FakeChildScript script;
  std::string last_error;
  std::string last_lines;  // the end of the standard-error log
  bool config_kept;
  bool refuse_reader = false;
};

class SingboxWrapperStartFailure : public SingboxWrapperTest,
                                   public ::testing::WithParamInterface<StartFailure> {};

TEST_P(SingboxWrapperStartFailure, LeavesNothingRunningAndSaysWhy) {
  const StartFailure& failure = GetParam();
  children_.scripts.push_back(failure.script);
  refuse_reader_ = failure.refuse_reader;
  ASSERT_TRUE(wrapper_.Initialize(service_dir_));
  ASSERT_TRUE(wrapper_.CreateService(kConfig));
  EXPECT_FALSE(wrapper_.Start());
  EXPECT_FALSE(wrapper_.RunningFlag());
  EXPECT_EQ(wrapper_.LastError(), failure.last_error);
  const std::string log = log_.StandardError();
  ASSERT_GE(log.size(), failure.last_lines.size());
  EXPECT_EQ(log.substr(log.size() - failure.last_lines.size()), failure.last_lines) << log;
  EXPECT_FALSE(wrapper_.IsRunning());
  EXPECT_EQ(wrapper_.ChildId(), 0U);
  if (auto child = children_.LastChild()) {
    EXPECT_NE(child->exit_code, platform::kStillActive) << "a child was left running";
  }
  // A configuration not yet written is kept for the next attempt; a written one is gone.
  children_.scripts.clear();
  EXPECT_EQ(wrapper_.Start(), failure.config_kept) << wrapper_.LastError();
  wrapper_.Stop();
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SingboxWrapperStartFailure,
    ::testing::Values(
        StartFailure{"OutputPipe", FakeChildScript::Failing(SpawnResult::Failure::kOutputPipe, 8),
                     "Failed to create pipe for stdout",
                     "ORVO_SVC: Created Job object for process cleanup\n", true},
        StartFailure{"InputPipe", FakeChildScript::Failing(SpawnResult::Failure::kInputPipe, 8),
                     "Failed to create pipe for stdin",
                     "ORVO_SVC: Created Job object for process cleanup\n", true},
        StartFailure{"CreateProcess",
                     FakeChildScript::Failing(SpawnResult::Failure::kCreateProcess, 2),
                     "CreateProcess failed with error 2",
                     "ORVO_SVC: Starting sing-box with stdin config (no file on disk)\n"
                     "ORVO_SVC: CreateProcess failed: 2\n",
                     true},
        StartFailure{"Write", FakeChildScript::WriteFails(232), "Failed to write config to stdin",
                     "ORVO_SVC: Failed to write config to stdin: 232\n", true},
        StartFailure{"EarlyExit", FakeChildScript::ExitsWith(3), "sing-box exited with code 3",
                     "ORVO_SVC: sing-box process created, PID=1001, waiting for startup...\n"
                     "ORVO_SVC: sing-box early exit: sing-box exited with code 3\n",
                     false},
        StartFailure{"ReaderThread", FakeChildScript::Printing({}),
                     "Failed to start output reader thread",
                     "ORVO_SVC: sing-box process created, PID=1001, waiting for startup...\n"
                     "ORVO_SVC: sing-box output reader could not be started\n",
                     false, true}),
    [](const auto& test) { return std::string(test.param.name); });

TEST_F(SingboxWrapperTest, WriteFailureEndsTheChildWithCodeOne) {
  children_.scripts.push_back(FakeChildScript::WriteFails(232));
  ASSERT_TRUE(wrapper_.Initialize(service_dir_));
  ASSERT_TRUE(wrapper_.CreateService(kConfig));
  EXPECT_FALSE(wrapper_.Start());
  EXPECT_EQ(children_.Record(),
            "job\n" + SpawnLine() +
                "yes\nwrite 1001 failed\nclose input 1001\nterminate 1001 code 1\n"
                "close output 1001\n");
}

TEST_F(SingboxWrapperTest, RunsWithoutAJobWhenNoneCanBeMade) {
  children_.job_fails = true;
  StartChild();
  EXPECT_EQ(children_.Record().find("assign"), std::string::npos);
  EXPECT_NE(children_.Record().find(SpawnLine() + "no\n"), std::string::npos);
  wrapper_.Stop();

  children_.job_fails = false;
  children_.assign_fails = true;
  ASSERT_TRUE(wrapper_.CreateService(kConfig));
  ASSERT_TRUE(wrapper_.Start());
  EXPECT_NE(log_.StandardError().find(
                "ORVO_SVC: Warning - failed to assign process to job object\n"
                "ORVO_SVC: sing-box process created, PID=1002, waiting for startup...\n"),
            std::string::npos);
}

TEST_F(SingboxWrapperTest, WaitWithoutTimeLooksAtNothing) {
  EXPECT_FALSE(wrapper_.WaitForStarted(0));
  EXPECT_FALSE(wrapper_.WaitForStarted(-5));
  EXPECT_EQ(log_.StandardError(),
            "ORVO_SVC: Waiting for sing-box started signal (max 0ms)...\n"
            "ORVO_SVC: Timeout waiting for started signal after 0ms\n"
            "ORVO_SVC: Waiting for sing-box started signal (max -5ms)...\n"
            "ORVO_SVC: Timeout waiting for started signal after -5ms\n");
}

TEST_F(SingboxWrapperTest, SilentChildTimesOutAfterSixHundredPauses) {
  StartChild();
  EXPECT_FALSE(wrapper_.WaitForStarted(60000));
  std::string expected = "ORVO_SVC: Waiting for sing-box started signal (max 60000ms)...\n";
  for (int elapsed = 5000; elapsed <= 60000; elapsed += 5000) {
    expected += "ORVO_SVC: Still waiting for started signal... (" + std::to_string(elapsed) +
                "ms elapsed)\n";
  }
  expected += "ORVO_SVC: Timeout waiting for started signal after 60000ms\n";
  EXPECT_EQ(log_.StandardError(), expected);
  EXPECT_TRUE(wrapper_.IsRunning());
}

TEST_F(SingboxWrapperTest, SplitReadinessTextIsSeenAndOutputCopiedVerbatim) {
  children_.scripts.push_back(
      FakeChildScript::Printing({"INFO[0000] sing-box sta", "rted (0.01s)\n"}));
  ASSERT_TRUE(wrapper_.Initialize(service_dir_));
  ASSERT_TRUE(wrapper_.CreateService(kConfig));
  ASSERT_TRUE(wrapper_.Start());
  EXPECT_TRUE(wrapper_.WaitForStarted(60000));
  wrapper_.Stop();
  const std::string log = log_.StandardError();
  EXPECT_NE(log.find("INFO[0000] sing-box sta"), std::string::npos);
  EXPECT_NE(log.find("rted (0.01s)\n"), std::string::npos);
  const std::string detected = "ORVO_SVC: >>> Detected 'sing-box started' signal <<<\n";
  ASSERT_NE(log.find(detected), std::string::npos);
  EXPECT_EQ(log.find(detected), log.rfind(detected));
  EXPECT_NE(log.find("ORVO_SVC: Got started signal after "), std::string::npos);
  const std::wstring debugger = log_.Debugger();
  EXPECT_NE(debugger.find(L"INFO[0000] sing-box sta"), std::wstring::npos);
  EXPECT_NE(debugger.find(L"rted (0.01s)\n"), std::wstring::npos);
}

TEST_F(SingboxWrapperTest, ChildDyingWhileWaitedForEndsTheWait) {
  StartChild();
  children_.LastChild()->End(1);
  EXPECT_FALSE(wrapper_.WaitForStarted(60000));
  EXPECT_EQ(log_.StandardError().substr(log_.StandardError().find("ORVO_SVC: sing-box process")),
            "ORVO_SVC: sing-box process died while waiting for started signal\n");
  ASSERT_TRUE(orvo_test::PollUntil([&] { return !wrapper_.IsRunning(); }));
  // The ended child no longer counts as running: a new configuration and start are accepted,
  // and the start releases what the old run left.
  ASSERT_TRUE(orvo_test::PollUntil([&] { return wrapper_.CreateService(kConfig); }));
  EXPECT_TRUE(wrapper_.Start()) << wrapper_.LastError();
  EXPECT_EQ(wrapper_.ChildId(), 1002U);
  EXPECT_NE(children_.Record().find("close output 1001\n"), std::string::npos);
}

TEST_F(SingboxWrapperTest, NoSecretReachesAnyLog) {
  children_.scripts.push_back(FakeChildScript::Printing({"sing-box started\n"}));
  StartChild();
  ASSERT_TRUE(wrapper_.WaitForStarted(1000));
  wrapper_.Stop();
  EXPECT_EQ(log_.StandardError().find("hunter2"), std::string::npos);
  EXPECT_EQ(WideToUtf8(log_.Debugger()).find("hunter2"), std::string::npos);
}

TEST_F(SingboxWrapperTest, VersionIsTheFirstLineTrimmed) {
  ASSERT_TRUE(wrapper_.Initialize(service_dir_));
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{"sing-box version 1.11.4 \r\n", "Environment: go1.22\n"}, "sing-box version 1.11.4"},
      {{"sing-box ver", "sion 2\r\r\n"}, "sing-box version 2"},
      {{"no line end  "}, "no line end"},
      {{}, "unknown"},
      {{" \r \r\n", "second line\n"}, "unknown"},
  };
  for (const auto& [output, version] : cases) {
    children_.scripts.push_back(FakeChildScript::ExitsWith(0, output));
    EXPECT_EQ(wrapper_.GetVersion(), version);
  }
  children_.scripts.push_back(FakeChildScript::Failing(SpawnResult::Failure::kCreateProcess, 2));
  EXPECT_EQ(wrapper_.GetVersion(), "unknown");
  EXPECT_NE(children_.Record().find("spawn \"" + WideToUtf8(SingboxPathIn(service_dir_)) +
                                    "\" version | dir=" + WideToUtf8(service_dir_) +
                                    " input=no order=output-first die_with_owner=no\n"),
            std::string::npos);
}

}  // namespace
}  // namespace orvo_vpn_win_svc
