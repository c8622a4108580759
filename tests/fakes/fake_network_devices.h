#pragma once

#include <string>
#include <vector>

#include "platform/network_devices.h"

namespace orvo_test {

struct FakeDevice {
  std::wstring description;
  std::wstring friendly_name;  // empty: it could not be read
  orvo_vpn_win_svc::platform::DeviceRemoval removal{
      orvo_vpn_win_svc::platform::DeviceRemoval::Outcome::kRemoved, 0};
};

// Network devices a test lists (none unless told), for code whose clean-ups must find nothing
// and for what only Windows produces: a device without a friendly name, a removal whose
// parameters are refused. Records "open" and "remove NAME" per line.
class FakeNetworkDevices final : public orvo_vpn_win_svc::platform::NetworkDevices {
 public:
  std::vector<FakeDevice> devices;

  orvo_vpn_win_svc::platform::DeviceSetOpening OpenPresent() override;

  std::string record;
};

}  // namespace orvo_test
