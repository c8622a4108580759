#include "runtime/runtime_facilities.h"

#include <chrono>

#include "platform/socket_library.h"
#include "platform/system_paths.h"

namespace orvo_vpn_win_svc {

RuntimeFacilities RuntimeFacilities::System() {
  return {
      SingboxWrapper::Instance(),
      WfpManager::Instance(),
      platform::SystemIpHelper(),
      platform::SystemSleeper(),
      platform::SystemMonotonicClock(),
      [] {
        return static_cast<int64_t>(std::chrono::duration_cast<std::chrono::seconds>(
                                        std::chrono::system_clock::now().time_since_epoch())
                                        .count());
      },
      CleanupFacilities::System(),
      [](const std::string& host) {
        return platform::ResolveIpv4(host, platform::SocketKind::kDatagram);
      },
      platform::WintunDriverInstalled,
      platform::StartSocketLibrary,
      platform::ExecutablePath,
  };
}

}  // namespace orvo_vpn_win_svc
