#include "platform/network_devices.h"

#include <windows.h>

// GUID_DEVCLASS_NET is only defined (not just declared) with initguid.h in front of devguid.h.
#include <initguid.h>

#include <devguid.h>
#include <setupapi.h>

#include <vector>

namespace orvo_vpn_win_svc::platform {
namespace {

// A registry property of a device as a wide string, read into a zeroed 512-byte buffer.
std::optional<std::wstring> ReadTextProperty(HDEVINFO set, SP_DEVINFO_DATA& device,
                                             DWORD property) {
  wchar_t buffer[256] = {};
  if (!SetupDiGetDeviceRegistryPropertyW(set, &device, property, nullptr,
                                         reinterpret_cast<BYTE*>(buffer), sizeof buffer, nullptr)) {
    return std::nullopt;
  }
  size_t length = 0;
  while (length < 256 && buffer[length] != L'\0') {
    ++length;
  }
  return std::wstring(buffer, length);
}

class SetupApiDeviceSet final : public NetworkDeviceSet {
 public:
  explicit SetupApiDeviceSet(HDEVINFO set) : set_(set) {
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof device;
    for (DWORD index = 0; SetupDiEnumDeviceInfo(set_, index, &device); ++index) {
      devices_.push_back(device);
    }
  }
  ~SetupApiDeviceSet() override { SetupDiDestroyDeviceInfoList(set_); }
  SetupApiDeviceSet(const SetupApiDeviceSet&) = delete;
  SetupApiDeviceSet& operator=(const SetupApiDeviceSet&) = delete;

  std::vector<NetworkDevice> Devices() override {
    std::vector<NetworkDevice> result;
    for (size_t i = 0; i < devices_.size(); ++i) {
      NetworkDevice device;
      device.index = i;
      device.description = ReadTextProperty(set_, devices_[i], SPDRP_DEVICEDESC);
      device.friendly_name =
          ReadTextProperty(set_, devices_[i], SPDRP_FRIENDLYNAME).value_or(std::wstring());
      result.push_back(std::move(device));
    }
    return result;
  }

  DeviceRemoval Remove(size_t index) override {
    DeviceRemoval removal;
    if (index >= devices_.size()) {
      removal.error = ERROR_INVALID_PARAMETER;
      return removal;
    }
    SP_REMOVEDEVICE_PARAMS parameters{};
    parameters.ClassInstallHeader.cbSize = sizeof(SP_CLASSINSTALL_HEADER);
    parameters.ClassInstallHeader.InstallFunction = DIF_REMOVE;
    parameters.Scope = DI_REMOVEDEVICE_GLOBAL;
    parameters.HwProfile = 0;
    if (!SetupDiSetClassInstallParamsW(set_, &devices_[index], &parameters.ClassInstallHeader,
                                       sizeof parameters)) {
      removal.outcome = DeviceRemoval::Outcome::kParametersRefused;
      removal.error = static_cast<uint32_t>(GetLastError());
      return removal;
    }
    if (!SetupDiCallClassInstaller(DIF_REMOVE, set_, &devices_[index])) {
      removal.outcome = DeviceRemoval::Outcome::kRemovalRefused;
      removal.error = static_cast<uint32_t>(GetLastError());
      return removal;
    }
    removal.outcome = DeviceRemoval::Outcome::kRemoved;
    return removal;
  }

 private:
  HDEVINFO set_;
  std::vector<SP_DEVINFO_DATA> devices_;
};

class SetupApiDevices final : public NetworkDevices {
 public:
  DeviceSetOpening OpenPresent() override {
    DeviceSetOpening opening;
    HDEVINFO set = SetupDiGetClassDevsW(&GUID_DEVCLASS_NET, nullptr, nullptr, DIGCF_PRESENT);
    if (set == INVALID_HANDLE_VALUE) {
      opening.error = static_cast<uint32_t>(GetLastError());
      return opening;
    }
    opening.set = std::make_unique<SetupApiDeviceSet>(set);
    return opening;
  }
};

}  // namespace

NetworkDevices& SystemNetworkDevices() {
  static SetupApiDevices devices;
  return devices;
}

}  // namespace orvo_vpn_win_svc::platform
