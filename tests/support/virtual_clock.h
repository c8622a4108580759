#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <mutex>
#include <string>

#include "platform/monotonic_clock.h"
#include "platform/sleeper.h"

namespace orvo_test {

// A monotonic clock that moves only when its owner pauses on it: Sleep advances the time by the
// pause at once, without waiting, so a test sees minutes of retries in no time and every elapsed
// time it reads is exact.
class VirtualClock final : public orvo_vpn_win_svc::platform::MonotonicClock,
                           public orvo_vpn_win_svc::platform::Sleeper {
 public:
  std::chrono::steady_clock::time_point Now() const override;
  void Sleep(std::chrono::milliseconds duration) override;

  // Runs `hook` after the time has moved, on every pause of exactly `duration`.
  void OnPause(std::chrono::milliseconds duration, std::function<void()> hook);
  // The pauses since the last call, in milliseconds, separated by spaces ("500 200 200 300").
  std::string TakePauses();
  // The time that has passed since the clock was made.
  long long ElapsedMs() const;

 private:
  mutable std::mutex mutex_;
  std::chrono::steady_clock::time_point now_{std::chrono::hours(1)};
  std::chrono::steady_clock::time_point origin_ = now_;
  std::string pauses_;
  std::map<long long, std::function<void()>> hooks_;
};

}  // namespace orvo_test
