#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "platform/child_process.h"

namespace orvo_test {

// A program started through the platform's child-process seam (CreateProcessW on Windows, so it
// runs as a Windows program under Wine), its standard output and error collected by a thread of
// its own so that a talkative program never stalls on a full pipe. Ended and waited for when
// this object goes, if it still runs.
class SpawnedProgram {
 public:
  SpawnedProgram() = default;
  ~SpawnedProgram();
  SpawnedProgram(const SpawnedProgram&) = delete;
  SpawnedProgram& operator=(const SpawnedProgram&) = delete;

  // `command_line` starts with the program's path in double quotes.
  bool Start(const std::wstring& command_line, const std::wstring& work_dir);
  // True once `text` has appeared in the output, false when `timeout` passed first.
  bool WaitForOutput(const std::string& text, std::chrono::milliseconds timeout) const;
  // Waits for the program to end and its output to be read to the end; its exit code, or
  // nothing when it still runs after `timeout`.
  std::optional<uint32_t> WaitForExit(std::chrono::milliseconds timeout);
  std::string Output() const;

 private:
  void Collect();

  std::unique_ptr<orvo_vpn_win_svc::platform::ChildProcess> child_;
  mutable std::mutex mutex_;
  std::string output_;
  std::atomic<bool> stop_{false};
  std::atomic<bool> drained_{false};
  std::thread reader_;
};

}  // namespace orvo_test
