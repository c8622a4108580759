#include "singbox/cleanup_facilities.h"

namespace orvo_vpn_win_svc {

CleanupFacilities CleanupFacilities::System() {
  return {platform::SystemProcessTable(), platform::SystemNetworkDevices(),
          platform::SystemSleeper(), SparedProcesses::Instance()};
}

}  // namespace orvo_vpn_win_svc
