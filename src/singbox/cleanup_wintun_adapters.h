#pragma once

#include "singbox/cleanup_facilities.h"

namespace orvo_vpn_win_svc {

// Removes every present network device whose description contains "Wintun" (case-sensitive),
// whichever program created it. Reports only by log.
void CleanupWintunAdapters(const CleanupFacilities& facilities);
void CleanupWintunAdapters();

}  // namespace orvo_vpn_win_svc
