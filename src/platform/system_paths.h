#pragma once

#include <optional>
#include <string>

namespace orvo_vpn_win_svc::platform {

// Where the system keeps things for the account the service runs as.
struct SystemPaths {
  // The account's application-data folder as a narrow path: SHGetFolderPathA(CSIDL_APPDATA) on
  // Windows; $XDG_CONFIG_HOME, else $HOME/.config, on Linux. Nothing when it cannot be had.
  static std::optional<std::string> AppDataFolder();
};

}  // namespace orvo_vpn_win_svc::platform
