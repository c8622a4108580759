#pragma once

#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>

#include "platform/sleeper.h"

namespace orvo_test {

// A sleeper for loops with a long period: every pause of at least `gated` waits until the test
// lets one more through (or opens the gate for good), so a test counts a timer's passes exactly
// instead of waiting for them. Shorter pauses sleep for real. Every pause is counted by length.
class GatedSleeper final : public orvo_vpn_win_svc::platform::Sleeper {
 public:
  explicit GatedSleeper(std::chrono::milliseconds gated) : gated_(gated) {}

  void Sleep(std::chrono::milliseconds duration) override;

  // Lets `passes` more gated pauses end.
  void Allow(int passes);
  // Every gated pause, now and later, ends at once.
  void Open();
  // How many pauses of exactly `duration` were begun.
  int Count(std::chrono::milliseconds duration) const;

 private:
  const std::chrono::milliseconds gated_;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::map<long long, int> counts_;
  int allowed_ = 0;
  bool open_ = false;
};

}  // namespace orvo_test
