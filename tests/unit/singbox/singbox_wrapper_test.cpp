// The sing-box child's life as the wrapper leads it: the clean-up before each start, its command
// lines, what it is handed, the log, and each refusal. The children, processes and devices come
// from fakes: a real process table is the whole machine's, and no real process refuses to be
// opened or outlives its termination on demand. (The real links' removal is the console walk's.)
#include "singbox/singbox_wrapper.h"

#include <gtest/gtest.h>

#include <map>

#include "fakes/fake_child_processes.h"
#include "fakes/fake_network_devices.h"
#include "fakes/fake_process_table.h"
#include "platform/log_capture.h"
#include "platform/singbox_image.h"
#include "platform/text_encoding.h"
#include "singbox/readiness_scanner.h"
#include "singbox/singbox_protocol.h"
#include "support/case_file.h"
#include "support/scratch_directory.h"
#include "support/test_clock.h"

namespace orvo_vpn_win_svc {
namespace {

using orvo_test::FakeChildScript;

constexpr char kConfig[] = R"({"outbounds":[{"password":"hunter2-secret"}]})";

class SingboxWrapperTest : public ::testing::Test {
 protected:
  SingboxWrapperTest() { directory_.AddFile(WideToUtf8(platform::SingboxImageName())); }

  std::string Spawn(const std::string& arguments, const std::string& options) const {
    return "spawn \"" + WideToUtf8(SingboxPathIn(dir_)) + "\" " + arguments +
           " | dir=" + WideToUtf8(dir_) + " " + options + "\n";
  }

  orvo_test::ScratchDirectory directory_;
  std::wstring dir_ = directory_.path().wstring();
  orvo_test::FakeChildProcesses children_;
  orvo_test::FakeProcessTable processes_;
  orvo_test::FakeNetworkDevices devices_;
  orvo_test::TestClock sleeper_{100};
  orvo_test::TestClock cleanup_sleeper_;  // the clean-up's pauses alone, without the reader's
  SparedProcesses spared_;
  LogCapture log_;
  bool refuse_reader_ = false;  // the output reader's thread cannot be created
  SingboxWrapper wrapper_{{children_,
                           sleeper_,
                           {processes_, devices_, cleanup_sleeper_, spared_},
                           [this](std::function<void()> body, std::thread& thread) {
                             return !refuse_reader_ &&
                                    platform::StartSystemThread(std::move(body), thread);
                           }}};
};

// Lingering sing-box processes are ended (the relay's own child spared) and stale Wintun
// adapters removed. Then the document goes to the child's input once, and no secret reaches any
// log; with no document (never given, or wiped once written) a start is refused.
TEST_F(SingboxWrapperTest, StartCleansUpThenHandsTheDocumentOverOnce) {
  const std::wstring image = platform::SingboxImageName();
  // Image names match whole, in any letter case.
  processes_.processes = {{10, image}, {11, L"SING-BOX" + image.substr(8)}, {12, L"x" + image},
                          {13, image + L".old"}, {15, image, /*can_open=*/false},
                          {16, image, true, /*survives=*/true}, {17, image}};
  spared_.Add(17);
  // What only Windows produces: a device without a friendly name, parameters refused.
  using Outcome = platform::DeviceRemoval::Outcome;
  devices_.devices = {{L"My Wintun", L""},
                      {L"Wintun", L"refuses", {Outcome::kParametersRefused, 5}}};
  ASSERT_TRUE(wrapper_.Initialize(dir_));
  ASSERT_TRUE(wrapper_.CreateService(kConfig));
  ASSERT_TRUE(wrapper_.Start()) << wrapper_.LastError();
  const orvo_test::TextCase expected = orvo_test::ReadCases("unit/singbox/wrapper.txt").at(0);
  EXPECT_EQ(processes_.Record(), expected["processes"]);
  EXPECT_EQ(cleanup_sleeper_.TakePauses(), "1000 1000");
  EXPECT_EQ(children_.Record(),
            "job\n" + Spawn("run -c stdin", "input=yes order=output-first die_with_owner=yes") +
                "write 1001 45 bytes\nclose input 1001\nassign 1001\n");
  EXPECT_EQ(children_.LastChild()->input, kConfig);
  EXPECT_EQ(log_.StandardError(), expected["log"]);
  EXPECT_EQ(WideToUtf8(log_.Debugger()).find("hunter2"), std::string::npos);
  EXPECT_FALSE(wrapper_.Start());
  EXPECT_EQ(wrapper_.LastError(), "Service already running");
  EXPECT_TRUE(wrapper_.Stop());
  EXPECT_FALSE(wrapper_.Start()) << "the document was wiped once written";
  EXPECT_EQ(wrapper_.LastError(), "No config set - call CreateService first");
}

// Each way a start can fail leaves no child running, says why in the error and the log, and
// keeps a document not yet written for the next attempt (a written one is gone). Nothing
// lingers here: each clean-up says so, without pausing.
TEST_F(SingboxWrapperTest, AFailedStartLeavesNothingRunningAndSaysWhy) {
  using Failure = platform::SpawnResult::Failure;
  const std::map<std::string, FakeChildScript> scripts = {
      {"output-pipe 8", {.failure = Failure::kOutputPipe, .error = 8}},
      {"input-pipe 8", {.failure = Failure::kInputPipe, .error = 8}},
      {"create-process 2", {.failure = Failure::kCreateProcess, .error = 2}},
      {"write-fails 232", {.write_error = 232}},
      {"exits 3", {.exit_code = 3}}};
  ASSERT_TRUE(wrapper_.Initialize(dir_));
  for (const orvo_test::TextCase& c : orvo_test::ReadCases("unit/singbox/failed_starts.txt")) {
    SCOPED_TRACE(c.name);
    children_.scripts = {scripts.contains(c["child"]) ? scripts.at(c["child"]) : FakeChildScript{}};
    refuse_reader_ = c["child"] == "no-reader";
    log_.Clear();
    ASSERT_TRUE(wrapper_.CreateService(kConfig));
    EXPECT_FALSE(wrapper_.Start());
    EXPECT_EQ(wrapper_.LastError(), c["error"]);
    const std::string log = log_.StandardError();
    EXPECT_TRUE(log.ends_with(c["log end"] + "\n")) << log;
    EXPECT_NE(log.find("ORVO_SVC: No WinTUN adapters found to remove\n"), std::string::npos);
    EXPECT_FALSE(wrapper_.RunningFlag() || wrapper_.IsRunning());
    if (auto child = children_.LastChild()) {
      EXPECT_NE(child->exit_code, platform::kStillActive) << "a child was left running";
    }
    children_.scripts.clear();
    refuse_reader_ = false;
    EXPECT_EQ(wrapper_.Start(), c["document kept"] == "yes") << wrapper_.LastError();
    wrapper_.Stop();
  }
  EXPECT_EQ(cleanup_sleeper_.TakePauses(), "");
}

TEST_F(SingboxWrapperTest, VersionIsTheFirstLineOfSingboxVersionTrimmed) {
  ASSERT_TRUE(wrapper_.Initialize(dir_));
  const std::pair<std::vector<std::string>, std::string> rows[] = {
      {{"sing-box version 1.11.4 \r\n", "Environment: go1.22\n"}, "sing-box version 1.11.4"},
      {{"sing-box ver", "sion 2\r\r\n"}, "sing-box version 2"},
      {{" \r \r\n", "second line\n"}, "unknown"},
  };
  for (const auto& [output, version] : rows) {
    children_.scripts.push_back(FakeChildScript{.exit_code = 0, .output = output});
    EXPECT_EQ(wrapper_.GetVersion(), version);
  }
  EXPECT_EQ(children_.Record().substr(0, children_.Record().find('\n') + 1),
            Spawn("version", "input=no order=output-first die_with_owner=no"));
}

TEST(ReadinessScanner, SeesTheTextWhereverTheOutputIsCut) {
  const std::pair<std::vector<std::string>, bool> rows[] = {
      {{"INFO sing-box started\n"}, true},
      {{"sing", "-box st", "arted"}, true},
      {{"x", "", "sing-box started", "later output"}, true},
      {{"sing-box start"}, false},
      {{"sing-box", " ", "Started"}, false},
      {{"sing-box sta", "xrted"}, false}};
  for (const auto& [chunks, seen] : rows) {
    ReadinessScanner scanner;
    bool found = false;
    for (const std::string& chunk : chunks) found = scanner.Feed(chunk);
    EXPECT_EQ(found, seen) << chunks.back();
  }
}

}  // namespace
}  // namespace orvo_vpn_win_svc
