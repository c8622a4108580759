#pragma once

#include <chrono>
#include <map>
#include <mutex>

#include "platform/sleeper.h"

namespace orvo_test {

// Shortens every pause by a divisor (at least 1 ms stays, so polling loops do not spin) and
// counts the pauses asked for by their length, so a test can check the pause structure of a
// 60-second wait in well under a second.
class ScaledSleeper final : public orvo_vpn_win_svc::platform::Sleeper {
 public:
  explicit ScaledSleeper(int divisor) : divisor_(divisor) {}

  void Sleep(std::chrono::milliseconds duration) override;
  // How many pauses of exactly `duration` were asked for.
  int Count(std::chrono::milliseconds duration) const;

 private:
  int divisor_;
  mutable std::mutex mutex_;
  std::map<long long, int> counts_;
};

}  // namespace orvo_test
