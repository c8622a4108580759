#include "platform/system_paths.h"

#include <windows.h>

namespace orvo_vpn_win_svc::platform {

const wchar_t kPathSeparator = L'\\';

std::wstring ExecutablePath() {
  wchar_t path[MAX_PATH] = {};
  const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
  return std::wstring(path, length);
}

bool PathExists(const std::wstring& path) {
  return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

}  // namespace orvo_vpn_win_svc::platform
