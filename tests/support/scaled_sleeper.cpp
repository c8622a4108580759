#include "support/scaled_sleeper.h"

#include <algorithm>
#include <thread>

namespace orvo_test {

void ScaledSleeper::Sleep(std::chrono::milliseconds duration) {
  {
    std::lock_guard lock(mutex_);
    ++counts_[duration.count()];
  }
  std::this_thread::sleep_for(
      std::max(std::chrono::milliseconds(1), duration / std::max(divisor_, 1)));
}

int ScaledSleeper::Count(std::chrono::milliseconds duration) const {
  std::lock_guard lock(mutex_);
  const auto found = counts_.find(duration.count());
  return found == counts_.end() ? 0 : found->second;
}

}  // namespace orvo_test
