#include "singbox/child_slot.h"

namespace orvo_vpn_win_svc {

std::shared_ptr<platform::ChildProcess> ChildSlot::Get() const {
  std::lock_guard lock(mutex_);
  return child_;
}

void ChildSlot::Set(std::shared_ptr<platform::ChildProcess> child) {
  std::lock_guard lock(mutex_);
  child_ = std::move(child);
}

std::shared_ptr<platform::ChildProcess> ChildSlot::Take() {
  std::lock_guard lock(mutex_);
  return std::move(child_);
}

bool ChildSlot::Alive() const {
  const std::shared_ptr<platform::ChildProcess> child = Get();
  if (!child) {
    return false;
  }
  const std::optional<uint32_t> code = child->ExitCode();
  return code && *code == platform::kStillActive;
}

uint32_t ChildSlot::Id() const {
  const std::shared_ptr<platform::ChildProcess> child = Get();
  return child ? child->Id() : 0;
}

}  // namespace orvo_vpn_win_svc
