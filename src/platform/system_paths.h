#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace orvo_vpn_win_svc::platform {

// Where the system keeps things for the account the service runs as.
struct SystemPaths {
  // The account's application-data folder as a narrow path: SHGetFolderPathA(CSIDL_APPDATA) on
  // Windows; $XDG_CONFIG_HOME, else $HOME/.config, on Linux. Nothing when it cannot be had.
  static std::optional<std::string> AppDataFolder();
};

// A narrow path as the file system names it: converted from the ANSI code page on Windows, as
// the system's narrow (A) functions take it (std::filesystem would convert it in the C locale
// and name another file); the bytes as they are on Linux.
std::filesystem::path FileSystemPath(const std::string& narrow);

// The separator between a directory and a name in a path: '\' on Windows, '/' elsewhere.
extern const wchar_t kPathSeparator;

// The full path of the running executable (GetModuleFileNameW with a 260-character buffer;
// /proc/self/exe on Linux). Empty when it cannot be found.
std::wstring ExecutablePath();

// Whether the file system has something at `path` (its attributes can be read).
bool PathExists(const std::wstring& path);

// Whether the Wintun driver is installed: its service key
// HKLM\SYSTEM\CurrentControlSet\Services\Wintun opens for reading on Windows; /dev/net/tun
// opens on Linux.
bool WintunDriverInstalled();

}  // namespace orvo_vpn_win_svc::platform
