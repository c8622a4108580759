#include "platform/monotonic_clock.h"

namespace orvo_vpn_win_svc::platform {
namespace {

class SteadyClock final : public MonotonicClock {
 public:
  std::chrono::steady_clock::time_point Now() const override {
    return std::chrono::steady_clock::now();
  }
};

}  // namespace

MonotonicClock& SystemMonotonicClock() {
  static SteadyClock clock;
  return clock;
}

}  // namespace orvo_vpn_win_svc::platform
