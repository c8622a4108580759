#include "platform/system_paths.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

#include "platform/text_encoding.h"

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

std::filesystem::path FileSystemPath(const std::string& narrow) {
  return std::filesystem::path(narrow);
}

const wchar_t kPathSeparator = L'/';

std::wstring ExecutablePath() {
  char path[4096];
  const ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
  if (length <= 0) {
    return {};
  }
  return Utf8ToWide(std::string_view(path, static_cast<size_t>(length)));
}

bool PathExists(const std::wstring& path) {
  struct stat info {};
  return stat(WideToUtf8(path).c_str(), &info) == 0;
}

bool WintunDriverInstalled() {
  // The TUN driver is what libwintun.so stands on.
  const int fd = open("/dev/net/tun", O_RDWR | O_CLOEXEC);
  if (fd < 0) {
    return false;
  }
  close(fd);
  return true;
}

}  // namespace orvo_vpn_win_svc::platform
