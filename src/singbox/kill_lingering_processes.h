#pragma once

#include "singbox/cleanup_facilities.h"

namespace orvo_vpn_win_svc {

// Ends every sing-box copy still running on the machine (except the spared ones: the relay
// proxy's live child), waits for each, then removes stale Wintun adapters. Reports only by log.
void KillLingeringProcesses(const CleanupFacilities& facilities);
void KillLingeringProcesses();

}  // namespace orvo_vpn_win_svc
