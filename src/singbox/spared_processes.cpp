#include "singbox/spared_processes.h"

#include <algorithm>

namespace orvo_vpn_win_svc {

SparedProcesses& SparedProcesses::Instance() {
  static SparedProcesses instance;
  return instance;
}

void SparedProcesses::Add(uint32_t id) {
  std::lock_guard lock(mutex_);
  ids_.push_back(id);
}

void SparedProcesses::Remove(uint32_t id) {
  std::lock_guard lock(mutex_);
  const auto found = std::find(ids_.begin(), ids_.end(), id);
  if (found != ids_.end()) {
    ids_.erase(found);
  }
}

bool SparedProcesses::Contains(uint32_t id) const {
  std::lock_guard lock(mutex_);
  return std::find(ids_.begin(), ids_.end(), id) != ids_.end();
}

}  // namespace orvo_vpn_win_svc
