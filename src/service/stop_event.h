#pragma once

#include <condition_variable>
#include <mutex>

namespace orvo_vpn_win_svc {

// A manual-reset event: once set it stays set, and every wait returns at once.
class StopEvent {
 public:
  void Set();
  void Wait();
  bool IsSet() const;

 private:
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  bool set_ = false;
};

}  // namespace orvo_vpn_win_svc
