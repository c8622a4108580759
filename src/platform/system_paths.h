#pragma once

#include <string>

namespace orvo_vpn_win_svc::platform {

// The separator between a directory and a name in a path: '\' on Windows, '/' elsewhere.
extern const wchar_t kPathSeparator;

// The full path of the running executable (GetModuleFileNameW with a 260-character buffer;
// /proc/self/exe on Linux). Empty when it cannot be found.
std::wstring ExecutablePath();

// Whether the file system has something at `path` (its attributes can be read).
bool PathExists(const std::wstring& path);

}  // namespace orvo_vpn_win_svc::platform
