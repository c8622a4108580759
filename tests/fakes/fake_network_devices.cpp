#include "fakes/fake_network_devices.h"

#include "platform/text_encoding.h"

namespace orvo_test {
namespace {

using orvo_vpn_win_svc::platform::DeviceRemoval;

class FakeDeviceSet final : public orvo_vpn_win_svc::platform::NetworkDeviceSet {
 public:
  explicit FakeDeviceSet(FakeNetworkDevices& owner) : owner_(owner), devices_(owner.devices) {}

  std::vector<orvo_vpn_win_svc::platform::NetworkDevice> Devices() override {
    std::vector<orvo_vpn_win_svc::platform::NetworkDevice> result;
    for (size_t i = 0; i < devices_.size(); ++i) {
      result.push_back({i, devices_[i].description, devices_[i].friendly_name});
    }
    return result;
  }

  DeviceRemoval Remove(size_t index) override {
    const FakeDevice& device = devices_.at(index);
    owner_.record += "remove " + orvo_vpn_win_svc::WideToUtf8(device.friendly_name) + "\n";
    if (device.outcome == DeviceRemoval::Outcome::kRemoved) {
      std::erase_if(owner_.devices, [&](const FakeDevice& kept) {
        return kept.friendly_name == device.friendly_name;
      });
    }
    return {device.outcome, device.error};
  }

 private:
  FakeNetworkDevices& owner_;
  std::vector<FakeDevice> devices_;
};

}  // namespace

orvo_vpn_win_svc::platform::DeviceSetOpening FakeNetworkDevices::OpenPresent() {
  record += "open\n";
  return {std::make_unique<FakeDeviceSet>(*this), 0};
}

}  // namespace orvo_test
