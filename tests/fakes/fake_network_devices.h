#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/network_devices.h"

namespace orvo_test {

struct FakeDevice {
  std::optional<std::wstring> description;  // nothing: reading it fails
  std::wstring friendly_name;
  orvo_vpn_win_svc::platform::DeviceRemoval::Outcome outcome =
      orvo_vpn_win_svc::platform::DeviceRemoval::Outcome::kRemoved;
  uint32_t error = 0;
};

// Network devices a test lists. Records "open" and "remove NAME" per line;
// removed devices are gone from the next opening.
class FakeNetworkDevices final : public orvo_vpn_win_svc::platform::NetworkDevices {
 public:
  std::vector<FakeDevice> devices;

  orvo_vpn_win_svc::platform::DeviceSetOpening OpenPresent() override;

  std::string record;
};

}  // namespace orvo_test
