#include "singbox/cleanup_wintun_adapters.h"

#include <chrono>

#include "platform/log.h"
#include "platform/text_encoding.h"

namespace orvo_vpn_win_svc {

void CleanupWintunAdapters(const CleanupFacilities& facilities) {
  LogLine("ORVO_SVC: Cleaning up WinTUN adapters via SetupAPI...\n");
  platform::DeviceSetOpening opening = facilities.devices.OpenPresent();
  if (!opening.set) {
    LogLine("ORVO_SVC: SetupDiGetClassDevs failed: %lu\n",
            static_cast<unsigned long>(opening.error));
    return;
  }
  int removed = 0;
  for (const platform::NetworkDevice& device : opening.set->Devices()) {
    if (!device.description || device.description->find(L"Wintun") == std::wstring::npos) {
      continue;
    }
    // Device texts are logged as UTF-8, so a name outside ASCII does not silence the line.
    const std::string name =
        device.friendly_name.empty() ? "(unnamed)" : WideToUtf8(device.friendly_name);
    LogLine("ORVO_SVC: Found WinTUN adapter: %s (%s), removing...\n", name.c_str(),
            WideToUtf8(*device.description).c_str());
    const platform::DeviceRemoval removal = opening.set->Remove(device.index);
    switch (removal.outcome) {
      case platform::DeviceRemoval::Outcome::kParametersRefused:
        LogLine("ORVO_SVC: SetupDiSetClassInstallParams failed: %lu\n",
                static_cast<unsigned long>(removal.error));
        break;
      case platform::DeviceRemoval::Outcome::kRemovalRefused:
        LogLine("ORVO_SVC: SetupDiCallClassInstaller failed: %lu\n",
                static_cast<unsigned long>(removal.error));
        break;
      case platform::DeviceRemoval::Outcome::kRemoved:
        LogLine("ORVO_SVC: Successfully removed WinTUN adapter\n");
        ++removed;
        break;
    }
  }
  opening.set.reset();
  if (removed > 0) {
    LogLine("ORVO_SVC: Removed %d WinTUN adapter(s), waiting for driver release...\n", removed);
    facilities.sleeper.Sleep(std::chrono::milliseconds(1000));
  } else {
    LogLine("ORVO_SVC: No WinTUN adapters found to remove\n");
  }
}

void CleanupWintunAdapters() {
  CleanupWintunAdapters(CleanupFacilities::System());
}

}  // namespace orvo_vpn_win_svc
