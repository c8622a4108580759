#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "fakes/call_recorder.h"
#include "platform/process_table.h"

namespace orvo_test {

struct FakeProcess {
  uint32_t id = 0;
  std::wstring image_name;
  bool can_open = true;   // false: opening for termination is refused
  bool survives = false;  // true: the wait after termination times out
};

// A process table with the processes a test lists. Records what was asked as text:
// "snapshot", "open 12", "terminate 12 code 0", "wait 12 5000ms", one per line.
class FakeProcessTable final : public orvo_vpn_win_svc::platform::ProcessTable {
 public:
  std::vector<FakeProcess> processes;

  std::optional<std::vector<orvo_vpn_win_svc::platform::ProcessEntry>> Snapshot() override;
  std::unique_ptr<orvo_vpn_win_svc::platform::OpenedProcess> OpenForTermination(
      uint32_t id) override;

  std::string Record() const { return record_.Text(); }

 private:
  CallRecorder record_;
};

}  // namespace orvo_test
