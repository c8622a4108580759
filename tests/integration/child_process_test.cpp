// The child-process seam on the real system with the sing-box stand-in: CreateProcessW, pipes
// and job objects under Wine; fork/exec, pipes and process groups on Linux.
#include "platform/child_process.h"

#include <gtest/gtest.h>

#include "platform/text_encoding.h"
#include "singbox/singbox_protocol.h"
#include "support/poll.h"
#include "support/process_resources.h"
#include "support/scratch_directory.h"
#include "support/stand_in.h"

namespace orvo_vpn_win_svc {
namespace {

using platform::SpawnRequest;
using platform::WaitOutcome;
using std::chrono::milliseconds;

SpawnRequest StandInRequest(const std::wstring& arguments, bool with_input) {
  SpawnRequest request = orvo_test::StandInRequest(arguments);
  request.with_input = with_input;
  return request;
}

// Reads whatever the child prints until `done` holds for the text so far or time runs out.
std::string ReadUntil(platform::ChildProcess& child,
                      const std::function<bool(const std::string&)>& done) {
  std::string output;
  orvo_test::PollUntil(
      [&] {
        const auto waiting = child.OutputWaiting();
        if (waiting && *waiting > 0) {
          output += child.ReadOutput(*waiting);
        }
        return done(output) || !waiting;
      },
      milliseconds(10000));
  return output;
}

TEST(ChildProcess, VersionQueryPrintsAndEnds) {
  auto spawn = platform::SystemChildProcesses().Spawn(StandInRequest(L"version", false));
  ASSERT_TRUE(spawn.child) << static_cast<int>(spawn.failure) << " " << spawn.error;
  std::string output;
  for (std::string chunk; !(chunk = spawn.child->ReadOutput(255)).empty();) {
    output += chunk;
  }
  EXPECT_EQ(output.substr(0, output.find('\n')), "sing-box version 1.11.0-stand-in");
  EXPECT_EQ(spawn.child->Wait(milliseconds(10000)), WaitOutcome::kEnded);
  EXPECT_EQ(spawn.child->ExitCode(), 0U);
}

TEST(ChildProcess, OneOutputPipeCarriesBothStreamsUntilTerminated) {
  auto spawn = platform::SystemChildProcesses().Spawn(StandInRequest(L"run -c stdin", true));
  ASSERT_TRUE(spawn.child);
  platform::ChildProcess& child = *spawn.child;
  uint32_t error = 0;
  ASSERT_TRUE(child.WriteInput("{\"log\":{}}", error)) << error;
  child.CloseInput();
  const std::string output = ReadUntil(child, [](const std::string& text) {
    return text.find("sing-box started") != std::string::npos &&
           text.find("accepted") != std::string::npos;
  });
  EXPECT_NE(output.find("stand-in: configuration accepted (10 bytes)\n"), std::string::npos);
  EXPECT_NE(output.find("sing-box started"), std::string::npos);
  EXPECT_EQ(child.ExitCode(), platform::kStillActive);
  EXPECT_EQ(child.Wait(milliseconds(50)), WaitOutcome::kTimedOut);
  EXPECT_TRUE(child.Terminate(7));
  EXPECT_EQ(child.Wait(milliseconds(10000)), WaitOutcome::kEnded);
  EXPECT_EQ(child.ExitCode(), 7U);
}

TEST(ChildProcess, TextThatIsNotJsonIsRejectedWithCodeTwo) {
  auto spawn = platform::SystemChildProcesses().Spawn(StandInRequest(L"run -c stdin", true));
  ASSERT_TRUE(spawn.child);
  uint32_t error = 0;
  ASSERT_TRUE(spawn.child->WriteInput("not json", error));
  spawn.child->CloseInput();
  const std::string output = ReadUntil(*spawn.child, [](const std::string&) { return false; });
  EXPECT_NE(output.find("decode config"), std::string::npos);
  EXPECT_EQ(spawn.child->Wait(milliseconds(10000)), WaitOutcome::kEnded);
  EXPECT_EQ(spawn.child->ExitCode(), 2U);
}

TEST(ChildProcess, MissingProgramFailsAtCreationWithFileNotFound) {
  SpawnRequest request;
  request.command_line =
      L"\"" + SingboxPathIn(orvo_test::NativePath("/nonexistent-orvo")) + L"\" run -c stdin";
  request.work_dir = orvo_test::StandInDirectory();
  const auto before = orvo_test::CountProcessResources();
  auto spawn = platform::SystemChildProcesses().Spawn(request);
  EXPECT_FALSE(spawn.child);
  EXPECT_EQ(spawn.failure, platform::SpawnResult::Failure::kCreateProcess);
  EXPECT_EQ(spawn.error, 2U);  // ERROR_FILE_NOT_FOUND, ENOENT
  EXPECT_EQ(orvo_test::SettledResources(before).Text(), before.Text());
}

TEST(ChildProcess, ChildEndsWhenItsJobIsClosed) {
  auto request = StandInRequest(L"run -c stdin", true);
  request.die_with_owner = true;
  auto spawn = platform::SystemChildProcesses().Spawn(request);
  ASSERT_TRUE(spawn.child);
  auto job = platform::SystemChildProcesses().CreateJob();
  ASSERT_TRUE(job);
  ASSERT_TRUE(job->Assign(*spawn.child));
  uint32_t error = 0;
  ASSERT_TRUE(spawn.child->WriteInput("{}", error));
  spawn.child->CloseInput();
  EXPECT_EQ(spawn.child->Wait(milliseconds(300)), WaitOutcome::kTimedOut);
  job.reset();
  EXPECT_EQ(spawn.child->Wait(milliseconds(10000)), WaitOutcome::kEnded);
}

TEST(ChildProcess, RunsInItsWorkingDirectoryWithTheCommandLineGiven) {
  orvo_test::ScratchDirectory record_dir;
  const std::string record_path = (record_dir.path() / "record.txt").string();
  orvo_test::ScopedEnvironment record("SINGBOX_STAND_IN_RECORD", record_path);
  orvo_test::ScopedEnvironment exit_code("SINGBOX_STAND_IN_EXIT_CODE", "0");
  auto request = StandInRequest(L"run -c stdin", true);
  request.work_dir = record_dir.path().wstring();
  auto spawn = platform::SystemChildProcesses().Spawn(request);
  ASSERT_TRUE(spawn.child);
  uint32_t error = 0;
  ASSERT_TRUE(spawn.child->WriteInput("{\"a\":1}", error));
  spawn.child->CloseInput();
  ASSERT_EQ(spawn.child->Wait(milliseconds(10000)), WaitOutcome::kEnded);
  const std::string text = orvo_test::ReadWholeFile(record_path);
  EXPECT_NE(text.find("args: run -c stdin\n"), std::string::npos) << text;
  EXPECT_NE(text.find("config:\n{\"a\":1}"), std::string::npos) << text;
  const std::string cwd = text.substr(text.find("cwd: ") + 5);
  EXPECT_EQ(Utf8ToWide(cwd.substr(0, cwd.find('\n'))), request.work_dir);
}

}  // namespace
}  // namespace orvo_vpn_win_svc
