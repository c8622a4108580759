#include "support/background_process.h"

#if defined(__linux__)
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;
#endif

namespace orvo_test {

#if defined(__linux__)

bool BackgroundProcess::Start(const std::vector<std::string>& arguments) {
  int pipe_ends[2];
  if (arguments.empty() || pipe2(pipe_ends, O_CLOEXEC) != 0) {
    return false;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipe_ends[1], STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, pipe_ends[1], STDERR_FILENO);
  std::vector<char*> argv;
  for (const std::string& argument : arguments) {
    argv.push_back(const_cast<char*>(argument.c_str()));
  }
  argv.push_back(nullptr);
  pid_t pid = -1;
  const int spawned = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(pipe_ends[1]);
  if (spawned != 0) {
    close(pipe_ends[0]);
    return false;
  }
  pid_ = pid;
  output_pipe_ = pipe_ends[0];
  return true;
}

bool BackgroundProcess::WaitForOutput(const std::string& text, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (output_.find(text) == std::string::npos) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    pollfd watched{output_pipe_, POLLIN, 0};
    if (output_pipe_ < 0 || left.count() <= 0 ||
        poll(&watched, 1, static_cast<int>(left.count())) != 1) {
      return false;
    }
    char chunk[512];
    const ssize_t size = read(output_pipe_, chunk, sizeof(chunk));
    if (size <= 0) {
      return false;  // the program ended
    }
    output_.append(chunk, static_cast<size_t>(size));
  }
  return true;
}

std::optional<int> BackgroundProcess::WaitForExit(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  int status = 0;
  for (;;) {
    // Draining the output as it comes keeps a talkative program from blocking on a full pipe.
    pollfd watched{output_pipe_, POLLIN, 0};
    if (output_pipe_ >= 0 && poll(&watched, 1, 10) == 1) {
      char chunk[512];
      const ssize_t size = read(output_pipe_, chunk, sizeof(chunk));
      if (size > 0) {
        output_.append(chunk, static_cast<size_t>(size));
        continue;
      }
      close(output_pipe_);  // end of output: every writer has gone
      output_pipe_ = -1;
    }
    if (output_pipe_ < 0) {
      poll(nullptr, 0, 10);  // nothing left to read: look again in a moment
    }
    const pid_t ended = pid_ > 0 ? waitpid(pid_, &status, WNOHANG) : -1;
    if (ended == pid_) {
      pid_ = -1;
      return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    if (ended < 0 || std::chrono::steady_clock::now() >= deadline) {
      return std::nullopt;
    }
  }
}

BackgroundProcess::~BackgroundProcess() {
  if (pid_ > 0) {
    kill(pid_, SIGTERM);
    int status = 0;
    waitpid(pid_, &status, 0);
  }
  if (output_pipe_ >= 0) {
    close(output_pipe_);
  }
}

#endif

}  // namespace orvo_test
