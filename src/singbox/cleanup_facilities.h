#pragma once

#include "platform/network_devices.h"
#include "platform/process_table.h"
#include "platform/sleeper.h"
#include "singbox/spared_processes.h"

namespace orvo_vpn_win_svc {

// What the clean-ups of stray sing-box copies and stale Wintun adapters work on.
struct CleanupFacilities {
  platform::ProcessTable& processes;
  platform::NetworkDevices& devices;
  platform::Sleeper& sleeper;
  const SparedProcesses& spared;

  // The machine's own process table and devices, real pauses, the process-wide spared ids.
  static CleanupFacilities System();
};

}  // namespace orvo_vpn_win_svc
