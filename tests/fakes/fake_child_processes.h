#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "fakes/call_recorder.h"
#include "platform/child_process.h"

namespace orvo_test {

// How one fake child behaves.
struct FakeChildScript {
  orvo_vpn_win_svc::platform::SpawnResult::Failure failure =
      orvo_vpn_win_svc::platform::SpawnResult::Failure::kNone;
  uint32_t error = 0;                     // with a failure
  std::optional<uint32_t> write_error{};  // the configuration write fails with it
  std::optional<uint32_t> exit_code{};    // the child has ended with it from the start
  std::vector<std::string> output{};      // chunks, one per read, available from the start
};

// A child under a test's control, shared by the fake and the test.
struct FakeChild {
  std::mutex mutex;
  uint32_t id = 0;
  uint32_t exit_code = orvo_vpn_win_svc::platform::kStillActive;
  std::deque<std::string> output;
  std::string input;  // what was written to its standard input
  bool output_closed = false;

  void End(uint32_t code) {
    std::lock_guard lock(mutex);
    exit_code = code;
  }
};

// Starts scripted children (the next script for each spawn; a live, silent child when none is
// left) and records what was asked as text, one line each:
// "spawn CMD | dir=DIR input=yes order=output-first die_with_owner=yes", "job", "assign 1001",
// "write 1001 12 bytes" (a write that fails is not recorded), "close input 1001".
class FakeChildProcesses final : public orvo_vpn_win_svc::platform::ChildProcesses {
 public:
  std::deque<FakeChildScript> scripts;

  orvo_vpn_win_svc::platform::SpawnResult Spawn(
      const orvo_vpn_win_svc::platform::SpawnRequest& request) override;
  std::unique_ptr<orvo_vpn_win_svc::platform::ChildJob> CreateJob() override;

  std::shared_ptr<FakeChild> LastChild();
  std::string Record() const { return record_.Text(); }

 private:
  std::mutex mutex_;
  CallRecorder record_;
  std::shared_ptr<FakeChild> last_child_;
  uint32_t next_id_ = 1001;
};

}  // namespace orvo_test
