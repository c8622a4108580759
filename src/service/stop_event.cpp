#include "service/stop_event.h"

namespace orvo_vpn_win_svc {

void StopEvent::Set() {
  {
    std::lock_guard lock(mutex_);
    set_ = true;
  }
  changed_.notify_all();
}

void StopEvent::Wait() {
  std::unique_lock lock(mutex_);
  changed_.wait(lock, [this] { return set_; });
}

bool StopEvent::IsSet() const {
  std::lock_guard lock(mutex_);
  return set_;
}

}  // namespace orvo_vpn_win_svc
