#include "support/gated_sleeper.h"

#include <thread>

namespace orvo_test {

void GatedSleeper::Sleep(std::chrono::milliseconds duration) {
  std::unique_lock lock(mutex_);
  ++counts_[duration.count()];
  if (duration < gated_) {
    lock.unlock();
    std::this_thread::sleep_for(duration);
    return;
  }
  changed_.wait(lock, [this] { return open_ || allowed_ > 0; });
  if (!open_) {
    --allowed_;
  }
}

void GatedSleeper::Allow(int passes) {
  std::lock_guard lock(mutex_);
  allowed_ += passes;
  changed_.notify_all();
}

void GatedSleeper::Open() {
  std::lock_guard lock(mutex_);
  open_ = true;
  changed_.notify_all();
}

int GatedSleeper::Count(std::chrono::milliseconds duration) const {
  std::lock_guard lock(mutex_);
  const auto found = counts_.find(duration.count());
  return found == counts_.end() ? 0 : found->second;
}

}  // namespace orvo_test
