#include "platform/system_paths.h"

#include <cstdlib>

namespace orvo_vpn_win_svc::platform {

std::optional<std::string> SystemPaths::AppDataFolder() {
  const char* config_home = std::getenv("XDG_CONFIG_HOME");
  if (config_home != nullptr && *config_home == '/') {
    return std::string(config_home);
  }
  const char* home = std::getenv("HOME");
  if (home == nullptr || *home == '\0') {
    return std::nullopt;
  }
  return std::string(home) + "/.config";
}

}  // namespace orvo_vpn_win_svc::platform
