#include "platform/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/posix/file_descriptor.h"
#include "platform/text_encoding.h"

namespace orvo_vpn_win_svc::platform {
namespace {

// What a child and the jobs it was assigned to share: whether it has been reaped, so a job
// never signals a process group whose id may already belong to someone else.
struct ChildState {
  std::mutex mutex;
  pid_t pid = 0;
  bool reaped = false;
  std::optional<uint32_t> exit_code;
  std::optional<uint32_t> termination_code;  // asked for by Terminate
};

// Collects the child's status if it has ended. Called with the state's mutex held.
void ReapIfEnded(ChildState& state, int flags) {
  if (state.reaped) {
    return;
  }
  int status = 0;
  pid_t result;
  do {
    result = waitpid(state.pid, &status, flags);
  } while (result < 0 && errno == EINTR);
  if (result == 0) {
    return;
  }
  state.reaped = true;
  if (result < 0) {
    return;  // not ours to reap any more; the exit code stays unknown
  }
  if (WIFEXITED(status)) {
    state.exit_code = static_cast<uint32_t>(WEXITSTATUS(status));
  } else if (WIFSIGNALED(status)) {
    // Windows reports the code TerminateProcess was given; a signal from elsewhere reads as the
    // shell's 128 + signal number.
    state.exit_code =
        state.termination_code.value_or(128U + static_cast<uint32_t>(WTERMSIG(status)));
  }
}

// Blocks until the child has ended, then reaps it under the lock.
void ReapWhenEnded(const std::shared_ptr<ChildState>& state) {
  siginfo_t info{};
  while (waitid(P_PID, static_cast<id_t>(state->pid), &info, WEXITED | WNOWAIT) < 0 &&
         errno == EINTR) {
  }
  std::lock_guard lock(state->mutex);
  ReapIfEnded(*state, 0);
}

int OpenPidFd(pid_t pid) {
  return static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
}

class PosixChildProcess final : public ChildProcess {
 public:
  PosixChildProcess(std::shared_ptr<ChildState> state, FileDescriptor input, FileDescriptor output)
      : state_(std::move(state)),
        input_(std::move(input)),
        output_(std::move(output)),
        pid_fd_(OpenPidFd(state_->pid)) {}

  ~PosixChildProcess() override {
    {
      std::lock_guard lock(state_->mutex);
      ReapIfEnded(*state_, WNOHANG);
      if (state_->reaped) {
        return;
      }
    }
    // The handle goes, the child may live on (its job ends it); someone must still reap it.
    std::thread([state = state_] { ReapWhenEnded(state); }).detach();
  }

  uint32_t Id() const override { return static_cast<uint32_t>(state_->pid); }

  std::optional<uint32_t> ExitCode() override {
    std::lock_guard lock(state_->mutex);
    ReapIfEnded(*state_, WNOHANG);
    if (!state_->reaped) {
      return kStillActive;
    }
    return state_->exit_code;
  }

  std::optional<size_t> OutputWaiting() override {
    if (!output_.Valid()) {
      return std::nullopt;
    }
    pollfd entry{output_.Get(), POLLIN, 0};
    if (poll(&entry, 1, 0) < 0) {
      return std::nullopt;
    }
    if ((entry.revents & POLLIN) == 0) {
      if ((entry.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
        return std::nullopt;  // every writer is gone and nothing is left: a broken pipe
      }
      return 0;
    }
    int waiting = 0;
    if (ioctl(output_.Get(), FIONREAD, &waiting) < 0) {
      return std::nullopt;
    }
    if (waiting == 0 && (entry.revents & POLLHUP) != 0) {
      return std::nullopt;
    }
    return static_cast<size_t>(waiting);
  }

  std::string ReadOutput(size_t max_bytes) override {
    if (!output_.Valid() || max_bytes == 0) {
      return {};
    }
    std::string buffer(max_bytes, '\0');
    ssize_t count;
    do {
      count = read(output_.Get(), buffer.data(), max_bytes);
    } while (count < 0 && errno == EINTR);
    buffer.resize(count > 0 ? static_cast<size_t>(count) : 0);
    return buffer;
  }

  void CloseOutput() override { output_.Reset(); }

  bool WriteInput(std::string_view data, uint32_t& error) override {
    if (!input_.Valid()) {
      error = EBADF;
      return false;
    }
    // A child that has closed its input must not end the service with SIGPIPE: block it on this
    // thread for the write and swallow the one the write raised.
    sigset_t pipe_signal;
    sigemptyset(&pipe_signal);
    sigaddset(&pipe_signal, SIGPIPE);
    sigset_t previous_mask;
    pthread_sigmask(SIG_BLOCK, &pipe_signal, &previous_mask);
    sigset_t pending;
    sigpending(&pending);
    const bool already_pending = sigismember(&pending, SIGPIPE) == 1;

    bool ok = true;
    size_t written = 0;
    while (written < data.size()) {
      const ssize_t count = write(input_.Get(), data.data() + written, data.size() - written);
      if (count < 0) {
        if (errno == EINTR) {
          continue;
        }
        error = static_cast<uint32_t>(errno);
        ok = false;
        break;
      }
      written += static_cast<size_t>(count);
    }
    if (!ok && error == EPIPE && !already_pending) {
      const timespec no_wait{0, 0};
      sigtimedwait(&pipe_signal, nullptr, &no_wait);
    }
    pthread_sigmask(SIG_SETMASK, &previous_mask, nullptr);
    return ok;
  }

  void CloseInput() override { input_.Reset(); }

  bool Terminate(uint32_t exit_code) override {
    std::lock_guard lock(state_->mutex);
    ReapIfEnded(*state_, WNOHANG);
    if (state_->reaped) {
      return false;
    }
    state_->termination_code = exit_code;
    return kill(state_->pid, SIGKILL) == 0;
  }

  WaitOutcome Wait(std::chrono::milliseconds timeout) override {
    if (ExitCode() != kStillActive) {
      return WaitOutcome::kEnded;
    }
    if (!pid_fd_.Valid()) {
      return PollWait(timeout);
    }
    pollfd entry{pid_fd_.Get(), POLLIN, 0};
    const int result = poll(&entry, 1, static_cast<int>(timeout.count()));
    if (result < 0) {
      return WaitOutcome::kFailed;
    }
    if (result == 0) {
      return WaitOutcome::kTimedOut;
    }
    std::lock_guard lock(state_->mutex);
    ReapIfEnded(*state_, 0);
    return WaitOutcome::kEnded;
  }

  const std::shared_ptr<ChildState>& State() const { return state_; }

 private:
  // Without a pidfd (old kernels) the wait polls.
  WaitOutcome PollWait(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (ExitCode() == kStillActive) {
      if (std::chrono::steady_clock::now() >= deadline) {
        return WaitOutcome::kTimedOut;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return WaitOutcome::kEnded;
  }

  std::shared_ptr<ChildState> state_;
  FileDescriptor input_;
  FileDescriptor output_;
  FileDescriptor pid_fd_;
};

class ProcessGroupJob final : public ChildJob {
 public:
  ~ProcessGroupJob() override {
    for (const auto& state : members_) {
      std::lock_guard lock(state->mutex);
      if (!state->reaped) {
        kill(-state->pid, SIGKILL);
      }
    }
  }

  bool Assign(ChildProcess& child) override {
    auto* posix_child = dynamic_cast<PosixChildProcess*>(&child);
    if (posix_child == nullptr) {
      return false;
    }
    members_.push_back(posix_child->State());
    return true;
  }

 private:
  std::vector<std::shared_ptr<ChildState>> members_;
};

// Splits a command line the way the Windows loader does for the simple lines used here: blanks
// separate arguments, double quotes group them.
std::vector<std::string> SplitCommandLine(const std::wstring& command_line) {
  const std::string text = WideToUtf8(command_line);
  std::vector<std::string> arguments;
  std::string current;
  bool in_argument = false;
  bool quoted = false;
  for (const char c : text) {
    if (c == '"') {
      quoted = !quoted;
      in_argument = true;
    } else if ((c == ' ' || c == '\t') && !quoted) {
      if (in_argument) {
        arguments.push_back(current);
        current.clear();
        in_argument = false;
      }
    } else {
      current.push_back(c);
      in_argument = true;
    }
  }
  if (in_argument) {
    arguments.push_back(current);
  }
  return arguments;
}

struct PipePair {
  FileDescriptor read_end;
  FileDescriptor write_end;
};

bool MakePipe(PipePair& pair, uint32_t& error) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) {
    error = static_cast<uint32_t>(errno);
    return false;
  }
  pair.read_end = FileDescriptor(fds[0]);
  pair.write_end = FileDescriptor(fds[1]);
  return true;
}

// Runs in the forked child: only async-signal-safe calls until exec.
[[noreturn]] void ExecChild(const SpawnRequest& request, pid_t parent, int input_fd, int output_fd,
                            int report_fd, const char* work_dir, char* const* argv) {
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  signal(SIGPIPE, SIG_DFL);
  setpgid(0, 0);
  if (request.die_with_owner) {
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent) {
      _exit(127);
    }
  }
  int error = 0;
  const int stdin_fd = input_fd >= 0 ? input_fd : open("/dev/null", O_RDONLY);
  if (stdin_fd < 0 || dup2(stdin_fd, STDIN_FILENO) < 0 || dup2(output_fd, STDOUT_FILENO) < 0 ||
      dup2(output_fd, STDERR_FILENO) < 0) {
    error = errno;
  } else if (work_dir[0] != '\0' && chdir(work_dir) != 0) {
    error = errno;
  } else {
    execv(argv[0], argv);
    error = errno;
  }
  ssize_t ignored = write(report_fd, &error, sizeof error);
  (void)ignored;
  _exit(127);
}

class PosixChildProcesses final : public ChildProcesses {
 public:
  SpawnResult Spawn(const SpawnRequest& request) override {
    SpawnResult result;
    PipePair input;
    PipePair output;
    const auto make_output = [&] {
      if (!MakePipe(output, result.error)) {
        result.failure = SpawnResult::Failure::kOutputPipe;
        return false;
      }
      return true;
    };
    const auto make_input = [&] {
      if (request.with_input && !MakePipe(input, result.error)) {
        result.failure = SpawnResult::Failure::kInputPipe;
        return false;
      }
      return true;
    };
    const bool pipes_made = request.pipe_order == PipeOrder::kOutputFirst
                                ? make_output() && make_input()
                                : make_input() && make_output();
    if (!pipes_made) {
      return result;
    }

    std::vector<std::string> arguments = SplitCommandLine(request.command_line);
    const std::string work_dir = WideToUtf8(request.work_dir);
    std::vector<char*> argv;
    for (std::string& argument : arguments) {
      argv.push_back(argument.data());
    }
    argv.push_back(nullptr);
    PipePair report;
    if (arguments.empty() || !MakePipe(report, result.error)) {
      result.failure = SpawnResult::Failure::kCreateProcess;
      result.error = arguments.empty() ? static_cast<uint32_t>(EINVAL) : result.error;
      return result;
    }

    if (request.before_process_creation) {
      request.before_process_creation();
    }
    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid < 0) {
      result.failure = SpawnResult::Failure::kCreateProcess;
      result.error = static_cast<uint32_t>(errno);
      return result;
    }
    if (pid == 0) {
      ExecChild(request, parent, input.read_end.Get(), output.write_end.Get(),
                report.write_end.Get(), work_dir.c_str(), argv.data());
    }
    // Both sides set the group so the job can signal it whatever runs first.
    setpgid(pid, pid);
    report.write_end.Reset();
    input.read_end.Reset();
    output.write_end.Reset();

    int child_error = 0;
    ssize_t count;
    do {
      count = read(report.read_end.Get(), &child_error, sizeof child_error);
    } while (count < 0 && errno == EINTR);
    auto state = std::make_shared<ChildState>();
    state->pid = pid;
    if (count == static_cast<ssize_t>(sizeof child_error)) {
      std::lock_guard lock(state->mutex);
      ReapIfEnded(*state, 0);
      result.failure = SpawnResult::Failure::kCreateProcess;
      result.error = static_cast<uint32_t>(child_error);
      return result;
    }
    result.child = std::make_unique<PosixChildProcess>(std::move(state), std::move(input.write_end),
                                                       std::move(output.read_end));
    return result;
  }

  std::unique_ptr<ChildJob> CreateJob() override { return std::make_unique<ProcessGroupJob>(); }
};

}  // namespace

ChildProcesses& SystemChildProcesses() {
  static PosixChildProcesses processes;
  return processes;
}

}  // namespace orvo_vpn_win_svc::platform
