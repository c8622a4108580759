#include "support/test_sleeper.h"

#include <algorithm>

namespace orvo_test {

void TestSleeper::Sleep(std::chrono::milliseconds duration) {
  std::function<void()> hook;
  bool instant = false;
  {
    std::unique_lock lock(mutex_);
    ++counts_[duration.count()];
    if (duration >= gate_) {
      changed_.wait(lock, [this] { return open_ || allowed_ > 0; });
      allowed_ -= open_ ? 0 : 1;
      return;
    }
    if (std::this_thread::get_id() == owner_) {
      const auto found = hooks_.find(duration.count());
      hook = found == hooks_.end() ? nullptr : found->second;
      instant = owner_instant_;
    }
  }
  if (hook) {
    hook();
  }
  if (!instant) {
    std::this_thread::sleep_for(std::max(std::chrono::milliseconds(1), duration / divisor_));
  }
}

int TestSleeper::Count(std::chrono::milliseconds duration) const {
  std::lock_guard lock(mutex_);
  const auto found = counts_.find(duration.count());
  return found == counts_.end() ? 0 : found->second;
}

void TestSleeper::Allow(int passes) {
  std::lock_guard lock(mutex_);
  allowed_ += passes;
  changed_.notify_all();
}

void TestSleeper::Open() {
  std::lock_guard lock(mutex_);
  open_ = true;
  changed_.notify_all();
}

void TestSleeper::OnOwnerPause(std::chrono::milliseconds duration, std::function<void()> hook) {
  std::lock_guard lock(mutex_);
  hooks_[duration.count()] = std::move(hook);
}

void TestSleeper::MakeOwnerPausesInstant() {
  std::lock_guard lock(mutex_);
  owner_instant_ = true;
}

}  // namespace orvo_test
