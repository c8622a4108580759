#include "support/test_clock.h"

#include <algorithm>
#include <utility>

namespace orvo_test {

std::chrono::steady_clock::time_point TestClock::Now() const {
  std::lock_guard lock(mutex_);
  return now_;
}

void TestClock::Sleep(std::chrono::milliseconds duration) {
  std::function<void()> hook;
  bool instant = divisor_ == kInstant;
  {
    std::unique_lock lock(mutex_);
    now_ += duration;
    pauses_ += (pauses_.empty() ? "" : " ") + std::to_string(duration.count());
    ++counts_[duration.count()];
    if (duration >= gate_) {
      changed_.wait(lock, [this] { return open_ || allowed_ > 0; });
      allowed_ -= open_ ? 0 : 1;
      return;
    }
    if (std::this_thread::get_id() == owner_) {
      const auto found = hooks_.find(duration.count());
      hook = found == hooks_.end() ? nullptr : found->second;
      instant = instant || owner_instant_;
    }
  }
  if (hook) {
    hook();
  }
  if (!instant) {
    std::this_thread::sleep_for(std::max(std::chrono::milliseconds(1), duration / divisor_));
  }
}

int TestClock::Count(std::chrono::milliseconds duration) const {
  std::lock_guard lock(mutex_);
  const auto found = counts_.find(duration.count());
  return found == counts_.end() ? 0 : found->second;
}

std::string TestClock::TakePauses() {
  std::lock_guard lock(mutex_);
  return std::exchange(pauses_, std::string());
}

void TestClock::Allow(int passes) {
  std::lock_guard lock(mutex_);
  allowed_ += passes;
  changed_.notify_all();
}

void TestClock::Open() {
  std::lock_guard lock(mutex_);
  open_ = true;
  changed_.notify_all();
}

void TestClock::OnOwnerPause(std::chrono::milliseconds duration, std::function<void()> hook) {
  std::lock_guard lock(mutex_);
  hooks_[duration.count()] = std::move(hook);
}

void TestClock::MakeOwnerPausesInstant() {
  std::lock_guard lock(mutex_);
  owner_instant_ = true;
}

}  // namespace orvo_test
