#include "fakes/fake_network_devices.h"

#include <memory>

#include "platform/text_encoding.h"

namespace orvo_test {
namespace {

namespace platform = orvo_vpn_win_svc::platform;

class FakeDeviceSet final : public platform::NetworkDeviceSet {
 public:
  explicit FakeDeviceSet(FakeNetworkDevices& owner) : owner_(owner) {}

  std::vector<platform::NetworkDevice> Devices() override {
    std::vector<platform::NetworkDevice> devices;
    for (size_t i = 0; i < owner_.devices.size(); ++i) {
      devices.push_back({i, owner_.devices[i].description, owner_.devices[i].friendly_name});
    }
    return devices;
  }

  platform::DeviceRemoval Remove(size_t index) override {
    const FakeDevice& device = owner_.devices.at(index);
    owner_.record += "remove " + orvo_vpn_win_svc::WideToUtf8(device.friendly_name) + "\n";
    return device.removal;
  }

 private:
  FakeNetworkDevices& owner_;
};

}  // namespace

platform::DeviceSetOpening FakeNetworkDevices::OpenPresent() {
  record += "open\n";
  return {std::make_unique<FakeDeviceSet>(*this), 0};
}

}  // namespace orvo_test
