#include "support/virtual_clock.h"

#include <utility>

namespace orvo_test {

std::chrono::steady_clock::time_point VirtualClock::Now() const {
  std::lock_guard lock(mutex_);
  return now_;
}

void VirtualClock::Sleep(std::chrono::milliseconds duration) {
  std::function<void()> hook;
  {
    std::lock_guard lock(mutex_);
    now_ += duration;
    pauses_ += (pauses_.empty() ? "" : " ") + std::to_string(duration.count());
    const auto found = hooks_.find(duration.count());
    if (found != hooks_.end()) {
      hook = found->second;
    }
  }
  if (hook) {
    hook();
  }
}

void VirtualClock::OnPause(std::chrono::milliseconds duration, std::function<void()> hook) {
  std::lock_guard lock(mutex_);
  hooks_[duration.count()] = std::move(hook);
}

std::string VirtualClock::TakePauses() {
  std::lock_guard lock(mutex_);
  return std::exchange(pauses_, std::string());
}

long long VirtualClock::ElapsedMs() const {
  std::lock_guard lock(mutex_);
  return std::chrono::duration_cast<std::chrono::milliseconds>(now_ - origin_).count();
}

}  // namespace orvo_test
