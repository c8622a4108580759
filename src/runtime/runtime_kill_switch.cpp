// The runtime's side of the kill switch: the user's settings, and turning them, the current
// server and the tunnel interface into what the WFP manager installs.
#include <string>

#include "platform/log.h"
#include "runtime/runtime.h"
#include "singbox/singbox_protocol.h"

namespace orvo_vpn_win_svc {

void Runtime::UpdateKillSwitchSettings(const KillSwitchRequest& request) {
  {
    std::lock_guard lock(mutex_);
    allow_lan_ = request.allow_lan;
    allowlist_ = request.allowlist;
    permitted_apps_ = request.permitted_apps;
  }
  DebugLine(L"ORVO_SVC: Kill switch settings updated\n");
}

KillSwitchConfig Runtime::CurrentKillSwitchConfig() const {
  KillSwitchConfig config;
  {
    std::lock_guard lock(mutex_);
    // The server of the tunnel up: its datagrams must not depend on a permit of the process
    // alone, which a service outside its own control group does not have. With both tunnels
    // up, as for the interface, the Hysteria2 one.
    config.vpn_server = info_.server_ip.empty() ? wireguard_server_ : info_.server_ip;
    config.allow_lan = allow_lan_;
    config.allowlist = allowlist_;
    config.permitted_apps = permitted_apps_;
    // One interface is permitted; with both tunnels up, the Hysteria2 TUN interface.
    if (tun_luid_valid_) {
      config.tunnel_luid = tun_luid_;
    } else if (wireguard_luid_) {
      config.tunnel_luid = *wireguard_luid_;
    }
  }
  // The tunnel's own processes reach the server while it is being set up, before its address
  // is known to the kill switch.
  config.service_path = facilities_.executable_path();
  if (singbox_available_) {
    config.singbox_path = SingboxPathIn(service_dir_);
  }
  return config;
}

bool Runtime::EnableKillSwitch() {
  const KillSwitchConfig config = CurrentKillSwitchConfig();
  LogLine(
      "ORVO_SVC: EnableKillSwitch - vpn_server=%s, has_tun=%d, allow_lan=%d, allowlist_size=%zu, "
      "permitted_apps=%zu\n",
      config.vpn_server.c_str(), config.tunnel_luid ? 1 : 0, config.allow_lan ? 1 : 0,
      config.allowlist.size(), config.permitted_apps.size());
  if (facilities_.wfp.EnableKillSwitch(config)) {
    DebugLine(L"ORVO_SVC: Kill switch enabled successfully\n");
    LogLine("ORVO_SVC: Kill switch enabled successfully\n");
    return true;
  }
  const std::string reason = facilities_.wfp.last_error();
  DebugLineNarrow("ORVO_SVC: Kill switch failed: " + reason + "\n");
  LogLine("ORVO_SVC: Kill switch failed: %s\n", reason.c_str());
  return false;
}

void Runtime::RefreshKillSwitch(const char* occasion) {
  // Connects and disconnects never switch the kill switch on or off; only its permits follow.
  if (!facilities_.wfp.IsKillSwitchEnabled()) {
    return;
  }
  const KillSwitchConfig config = CurrentKillSwitchConfig();
  LogLine(
      "ORVO_SVC: Refreshing kill switch after %s - vpn_server=%s, has_tun=%d, allow_lan=%d, "
      "allowlist_size=%zu, permitted_apps=%zu\n",
      occasion, config.vpn_server.c_str(), config.tunnel_luid ? 1 : 0, config.allow_lan ? 1 : 0,
      config.allowlist.size(), config.permitted_apps.size());
  // The manager replaces the filters in one transaction; if that fails, the previous kill
  // switch stays in force.
  if (facilities_.wfp.EnableKillSwitch(config)) {
    DebugLine(L"ORVO_SVC: Kill switch refreshed\n");
    LogLine("ORVO_SVC: Kill switch refreshed\n");
    return;
  }
  const std::string reason = facilities_.wfp.last_error();
  DebugLineNarrow("ORVO_SVC: Kill switch refresh failed: " + reason + "\n");
  LogLine("ORVO_SVC: Kill switch refresh failed: %s\n", reason.c_str());
}

bool Runtime::DisableKillSwitch() {
  const bool disabled = facilities_.wfp.DisableKillSwitch();
  if (disabled) {
    DebugLine(L"ORVO_SVC: Kill switch disabled\n");
  }
  return disabled;
}

bool Runtime::IsKillSwitchEnabled() const {
  return facilities_.wfp.IsKillSwitchEnabled();
}

}  // namespace orvo_vpn_win_svc
