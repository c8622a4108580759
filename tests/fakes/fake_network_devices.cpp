#include "fakes/fake_network_devices.h"

#include <memory>
#include <vector>

namespace orvo_test {
namespace {

namespace platform = orvo_vpn_win_svc::platform;

class EmptyDeviceSet final : public platform::NetworkDeviceSet {
 public:
  std::vector<platform::NetworkDevice> Devices() override { return {}; }
  platform::DeviceRemoval Remove(size_t) override { return {}; }
};

}  // namespace

platform::DeviceSetOpening FakeNetworkDevices::OpenPresent() {
  record += "open\n";
  return {std::make_unique<EmptyDeviceSet>(), 0};
}

}  // namespace orvo_test
