#include "singbox/kill_lingering_processes.h"

#include <chrono>
#include <memory>
#include <vector>

#include "platform/log.h"
#include "platform/singbox_image.h"
#include "singbox/cleanup_wintun_adapters.h"

namespace orvo_vpn_win_svc {

void KillLingeringProcesses(const CleanupFacilities& facilities) {
  LogLine("ORVO_SVC: Checking for lingering sing-box processes...\n");
  const auto snapshot = facilities.processes.Snapshot();
  if (!snapshot) {
    return;
  }
  std::vector<std::unique_ptr<platform::OpenedProcess>> ended;
  for (const platform::ProcessEntry& entry : *snapshot) {
    if (!platform::SameImageName(entry.image_name, platform::SingboxImageName())) {
      continue;
    }
    if (facilities.spared.Contains(entry.id)) {
      // The relay proxy's own child: a tunnel start must not take the user's proxy down.
      LogLine("ORVO_SVC: Leaving the relay proxy's sing-box.exe running (PID=%lu)\n",
              static_cast<unsigned long>(entry.id));
      continue;
    }
    LogLine("ORVO_SVC: Found lingering sing-box.exe (PID=%lu), killing...\n",
            static_cast<unsigned long>(entry.id));
    std::unique_ptr<platform::OpenedProcess> process =
        facilities.processes.OpenForTermination(entry.id);
    if (!process) {
      continue;
    }
    process->Terminate(0);
    ended.push_back(std::move(process));
  }
  for (const auto& process : ended) {
    if (process->Wait(std::chrono::milliseconds(5000)) == platform::WaitOutcome::kTimedOut) {
      LogLine("ORVO_SVC: WARNING: sing-box process did not terminate within 5s\n");
    } else {
      LogLine("ORVO_SVC: sing-box process terminated successfully\n");
    }
  }
  if (!ended.empty()) {
    facilities.sleeper.Sleep(std::chrono::milliseconds(1000));
  }
  CleanupWintunAdapters(facilities);
}

void KillLingeringProcesses() {
  KillLingeringProcesses(CleanupFacilities::System());
}

}  // namespace orvo_vpn_win_svc
