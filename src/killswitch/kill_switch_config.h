#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace orvo_vpn_win_svc {

// The settings WfpManager::EnableKillSwitch installs a kill switch from.
struct KillSwitchConfig {
  std::string vpn_server;                    // dotted IPv4 literal of the current server, or empty
  std::vector<std::string> allowlist;        // IPv4 literals or host names that stay reachable
  std::vector<std::wstring> permitted_apps;  // executables that may always connect
  bool allow_lan = false;                    // keep the private and link-local networks reachable
  // LUID of the tunnel's interface (the Hysteria2 TUN interface or the WireGuard adapter), when
  // one is up: everything leaving through it is permitted.
  std::optional<uint64_t> tunnel_luid;
  // The service's own executable and the sing-box.exe beside it: the tunnel's own processes,
  // which must reach the server even before vpn_server is known. Empty: none.
  std::wstring service_path;
  std::wstring singbox_path;
};

}  // namespace orvo_vpn_win_svc
