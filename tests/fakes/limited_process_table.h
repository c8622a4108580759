#pragma once

#include <cstdint>
#include <mutex>
#include <set>

#include "platform/process_table.h"

namespace orvo_test {

// The machine's real process table, seen through a window that shows only the processes a test
// has let in (the ones it started), so a clean-up under test never ends someone else's
// sing-box.
class LimitedProcessTable final : public orvo_vpn_win_svc::platform::ProcessTable {
 public:
  void Allow(uint32_t id);

  std::optional<std::vector<orvo_vpn_win_svc::platform::ProcessEntry>> Snapshot() override;
  std::unique_ptr<orvo_vpn_win_svc::platform::OpenedProcess> OpenForTermination(
      uint32_t id) override;

 private:
  std::mutex mutex_;
  std::set<uint32_t> allowed_;
};

}  // namespace orvo_test
