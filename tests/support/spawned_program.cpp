#include "support/spawned_program.h"

#include "support/poll.h"

namespace orvo_test {

using orvo_vpn_win_svc::platform::kStillActive;
using orvo_vpn_win_svc::platform::SpawnRequest;
using orvo_vpn_win_svc::platform::SystemChildProcesses;
using orvo_vpn_win_svc::platform::WaitOutcome;

bool SpawnedProgram::Start(const std::wstring& command_line, const std::wstring& work_dir) {
  SpawnRequest request;
  request.command_line = command_line;
  request.work_dir = work_dir;
  request.with_input = false;
  child_ = SystemChildProcesses().Spawn(request).child;
  if (!child_) {
    return false;
  }
  reader_ = std::thread([this] { Collect(); });
  return true;
}

// Reads only what is waiting, so the thread can be told to stop even while a grandchild that
// inherited the pipe keeps it open without writing.
void SpawnedProgram::Collect() {
  while (!stop_) {
    const std::optional<size_t> waiting = child_->OutputWaiting();
    if (!waiting) {
      break;  // every writer is gone and everything was read
    }
    if (*waiting == 0) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
      continue;
    }
    const std::string chunk = child_->ReadOutput(*waiting);
    std::lock_guard lock(mutex_);
    output_ += chunk;
  }
  drained_ = true;
}

bool SpawnedProgram::WaitForOutput(const std::string& text,
                                   std::chrono::milliseconds timeout) const {
  return PollUntil([&] { return Output().find(text) != std::string::npos; }, timeout);
}

std::optional<uint32_t> SpawnedProgram::WaitForExit(std::chrono::milliseconds timeout) {
  if (!child_ || child_->Wait(timeout) != WaitOutcome::kEnded) {
    return std::nullopt;
  }
  PollUntil([&] { return drained_.load(); }, std::chrono::milliseconds(2000));
  return child_->ExitCode();
}

std::string SpawnedProgram::Output() const {
  std::lock_guard lock(mutex_);
  return output_;
}

SpawnedProgram::~SpawnedProgram() {
  if (!child_) {
    return;
  }
  if (child_->ExitCode() == kStillActive) {
    child_->Terminate(1);
    child_->Wait(std::chrono::milliseconds(10000));
  }
  stop_ = true;
  reader_.join();
}

}  // namespace orvo_test
