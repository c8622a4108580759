#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace orvo_vpn_win_svc::platform {

// The exit code a child reports while it is still alive (Windows' STILL_ACTIVE).
inline constexpr uint32_t kStillActive = 259;

enum class WaitOutcome {
  kEnded,     // the process has ended
  kTimedOut,  // still alive when the time was up
  kFailed,    // the wait itself failed
};

// One child process started with pipes. Owns the process and the service's ends of its pipes;
// destroying it closes them but does not end the child (its job does that). On Linux a child
// still alive at destruction is reaped in the background when it ends, never left a zombie.
//
// ExitCode, OutputWaiting, ReadOutput, Terminate and Wait may be called from two threads at once
// (a reader thread and the owner); CloseOutput must not race a read.
class ChildProcess {
 public:
  virtual ~ChildProcess() = default;

  virtual uint32_t Id() const = 0;

  // The exit code, kStillActive while the child runs; nothing when it cannot be read.
  virtual std::optional<uint32_t> ExitCode() = 0;

  // How many bytes of output wait in the pipe, without blocking. Nothing when the pipe is closed,
  // broken (every writer gone and nothing left) or the query fails.
  virtual std::optional<size_t> OutputWaiting() = 0;
  // Reads up to `max_bytes` of output. Blocks until some output or the end of the output arrives,
  // so callers that must not block read no more than OutputWaiting reported. An empty result is
  // the end of the output or a failure.
  virtual std::string ReadOutput(size_t max_bytes) = 0;
  // Closes the service's end of the output pipe.
  virtual void CloseOutput() = 0;

  // Writes all of `data` to the child's standard input in one call. On failure returns false and
  // sets `error` to the system's error code.
  virtual bool WriteInput(std::string_view data, uint32_t& error) = 0;
  // Closes the service's end of the input pipe; the child sees the end of its input.
  virtual void CloseInput() = 0;

  // Ends the child with `exit_code` (on Linux: SIGKILL, and the child then reports `exit_code`).
  virtual bool Terminate(uint32_t exit_code) = 0;
  virtual WaitOutcome Wait(std::chrono::milliseconds timeout) = 0;
};

// A kill-on-close job: every child assigned to it ends when the job is destroyed (also when the
// service process ends). Linux: the child leads a process group of its own and the group is
// killed; PR_SET_PDEATHSIG covers the death of the service.
class ChildJob {
 public:
  virtual ~ChildJob() = default;
  virtual bool Assign(ChildProcess& child) = 0;
};

// Which of the two pipes is created first (and so which failure is reported when both would
// fail).
enum class PipeOrder { kOutputFirst, kInputFirst };

struct SpawnRequest {
  // A full command line, the program's path in double quotes first: "\"C:\\dir\\x.exe\" run".
  std::wstring command_line;
  std::wstring work_dir;
  // Whether the child gets a standard-input pipe; without it the child has no input.
  bool with_input = true;
  PipeOrder pipe_order = PipeOrder::kOutputFirst;
  // Linux: the child is killed when the thread that started it ends (PR_SET_PDEATHSIG). Asked
  // for children that also go into a job.
  bool die_with_owner = false;
  // Called once both pipes exist, just before the process is created (for progress lines that
  // belong between the two).
  std::function<void()> before_process_creation;
};

struct SpawnResult {
  enum class Failure { kNone, kOutputPipe, kInputPipe, kCreateProcess };
  std::unique_ptr<ChildProcess> child;  // set when Failure is kNone
  Failure failure = Failure::kNone;
  uint32_t error = 0;  // the system's error code on failure
};

// Starts children and makes jobs. Tests supply their own.
class ChildProcesses {
 public:
  virtual ~ChildProcesses() = default;
  // Starts the command line in `work_dir` without a window, with an output pipe that carries both
  // standard output and standard error.
  virtual SpawnResult Spawn(const SpawnRequest& request) = 0;
  // A new kill-on-close job, or nothing when one cannot be made.
  virtual std::unique_ptr<ChildJob> CreateJob() = 0;
};

ChildProcesses& SystemChildProcesses();

}  // namespace orvo_vpn_win_svc::platform
