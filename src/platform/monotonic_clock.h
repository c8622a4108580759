#pragma once

#include <chrono>

namespace orvo_vpn_win_svc::platform {

// The monotonic clock elapsed times are measured on, injectable so tests can let time pass
// without waiting for it.
class MonotonicClock {
 public:
  virtual ~MonotonicClock() = default;
  virtual std::chrono::steady_clock::time_point Now() const = 0;
};

// std::chrono::steady_clock.
MonotonicClock& SystemMonotonicClock();

}  // namespace orvo_vpn_win_svc::platform
