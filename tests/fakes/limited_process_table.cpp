#include "fakes/limited_process_table.h"

namespace orvo_test {

using orvo_vpn_win_svc::platform::SystemProcessTable;

void LimitedProcessTable::Allow(uint32_t id) {
  std::lock_guard lock(mutex_);
  allowed_.insert(id);
}

std::optional<std::vector<orvo_vpn_win_svc::platform::ProcessEntry>>
LimitedProcessTable::Snapshot() {
  auto entries = SystemProcessTable().Snapshot();
  if (!entries) {
    return entries;
  }
  std::lock_guard lock(mutex_);
  std::erase_if(*entries, [this](const auto& entry) { return allowed_.count(entry.id) == 0; });
  return entries;
}

std::unique_ptr<orvo_vpn_win_svc::platform::OpenedProcess> LimitedProcessTable::OpenForTermination(
    uint32_t id) {
  {
    std::lock_guard lock(mutex_);
    if (allowed_.count(id) == 0) {
      return nullptr;
    }
  }
  return SystemProcessTable().OpenForTermination(id);
}

}  // namespace orvo_test
