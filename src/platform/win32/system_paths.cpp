#include "platform/system_paths.h"

#include <windows.h>
#include <shlobj.h>

namespace orvo_vpn_win_svc::platform {

std::optional<std::string> SystemPaths::AppDataFolder() {
  char folder[MAX_PATH] = {};
  if (SHGetFolderPathA(nullptr, CSIDL_APPDATA, nullptr, SHGFP_TYPE_CURRENT, folder) < 0) {
    return std::nullopt;
  }
  return std::string(folder);
}

}  // namespace orvo_vpn_win_svc::platform
