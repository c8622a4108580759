#include "platform/precise_sleeper.h"

namespace orvo_vpn_win_svc::platform {

// nanosleep on the monotonic clock already keeps 1 ms pauses near 1 ms.
Sleeper& PreciseSleeper() {
  return SystemSleeper();
}

}  // namespace orvo_vpn_win_svc::platform
