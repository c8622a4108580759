#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace orvo_vpn_win_svc::platform {

struct NetworkDevice {
  size_t index = 0;                         // position in the set, used to remove it
  std::optional<std::wstring> description;  // nothing when it could not be read
  std::wstring friendly_name;               // empty when it could not be read
};

struct DeviceRemoval {
  enum class Outcome {
    kRemoved,
    kParametersRefused,  // the removal could not be prepared (SetupDiSetClassInstallParams)
    kRemovalRefused,     // the removal itself failed (SetupDiCallClassInstaller, RTM_DELLINK)
  };
  Outcome outcome = Outcome::kRemovalRefused;
  uint32_t error = 0;  // the system's error code when not removed
};

// The present network devices of the machine, as one set taken at opening. Windows: a SetupAPI
// device information set of the network adapter class. Linux: the links of the current network
// namespace, their alias (ifalias) standing for the description and their name for the friendly
// name.
class NetworkDeviceSet {
 public:
  virtual ~NetworkDeviceSet() = default;
  virtual std::vector<NetworkDevice> Devices() = 0;
  virtual DeviceRemoval Remove(size_t index) = 0;
};

struct DeviceSetOpening {
  std::unique_ptr<NetworkDeviceSet> set;  // empty on failure
  uint32_t error = 0;
};

class NetworkDevices {
 public:
  virtual ~NetworkDevices() = default;
  virtual DeviceSetOpening OpenPresent() = 0;
};

NetworkDevices& SystemNetworkDevices();

}  // namespace orvo_vpn_win_svc::platform
