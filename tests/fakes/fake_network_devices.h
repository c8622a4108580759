#pragma once

#include <string>

#include "platform/network_devices.h"

namespace orvo_test {

// A machine without network devices, for code whose clean-ups must find nothing to remove.
// Records each opening as a line "open".
class FakeNetworkDevices final : public orvo_vpn_win_svc::platform::NetworkDevices {
 public:
  orvo_vpn_win_svc::platform::DeviceSetOpening OpenPresent() override;

  std::string record;
};

}  // namespace orvo_test
