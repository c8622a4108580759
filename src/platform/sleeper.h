#pragma once

#include <chrono>

namespace orvo_vpn_win_svc::platform {

// The fixed pauses of polling loops and retries go through a Sleeper, so tests can shorten them
// without changing what the loops count.
class Sleeper {
 public:
  virtual ~Sleeper() = default;
  virtual void Sleep(std::chrono::milliseconds duration) = 0;
};

// Sleeps for real.
Sleeper& SystemSleeper();

}  // namespace orvo_vpn_win_svc::platform
