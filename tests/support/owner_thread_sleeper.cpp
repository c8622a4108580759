#include "support/owner_thread_sleeper.h"

namespace orvo_test {

void OwnerThreadSleeper::Sleep(std::chrono::milliseconds duration) {
  bool instant = false;
  if (std::this_thread::get_id() == owner_) {
    std::function<void()> hook;
    {
      std::lock_guard lock(mutex_);
      const auto found = hooks_.find(duration.count());
      if (found != hooks_.end()) {
        hook = found->second;
      }
      instant = owner_instant_;
    }
    if (hook) {
      hook();
    }
  }
  if (!instant) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

void OwnerThreadSleeper::OnOwnerPause(std::chrono::milliseconds duration,
                                      std::function<void()> hook) {
  std::lock_guard lock(mutex_);
  hooks_[duration.count()] = std::move(hook);
}

void OwnerThreadSleeper::MakeOwnerPausesInstant() {
  std::lock_guard lock(mutex_);
  owner_instant_ = true;
}

}  // namespace orvo_test
