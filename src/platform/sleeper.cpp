#include "platform/sleeper.h"

#include <thread>

namespace orvo_vpn_win_svc::platform {
namespace {

class RealSleeper final : public Sleeper {
 public:
  void Sleep(std::chrono::milliseconds duration) override { std::this_thread::sleep_for(duration); }
};

}  // namespace

Sleeper& SystemSleeper() {
  static RealSleeper sleeper;
  return sleeper;
}

}  // namespace orvo_vpn_win_svc::platform
