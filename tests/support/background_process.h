#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace orvo_test {

// A program run in the background with its standard output and error on a pipe, ended with
// SIGTERM (and waited for) when this object goes. Linux only: Start fails elsewhere.
class BackgroundProcess {
 public:
  BackgroundProcess() = default;
  ~BackgroundProcess();
  BackgroundProcess(const BackgroundProcess&) = delete;
  BackgroundProcess& operator=(const BackgroundProcess&) = delete;

  bool Start(const std::vector<std::string>& arguments);
  int Pid() const { return pid_; }
  // Reads output until it contains `text` or `timeout` passes; true when it appeared.
  bool WaitForOutput(const std::string& text, std::chrono::milliseconds timeout);
  const std::string& Output() const { return output_; }
  // Waits up to `timeout` for the program to end, collecting all its output, and reaps it; its
  // exit code (128 + the signal for one ended by a signal), or nothing when it still runs.
  std::optional<int> WaitForExit(std::chrono::milliseconds timeout);

 private:
  int pid_ = -1;
  int output_pipe_ = -1;
  std::string output_;
};

}  // namespace orvo_test
