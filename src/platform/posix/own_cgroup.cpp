#include "platform/posix/own_cgroup.h"

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <system_error>

#include "platform/posix/nftables_rule_text.h"
#include "platform/singbox_image.h"
#include "platform/text_encoding.h"

namespace orvo_vpn_win_svc::platform {
namespace {

namespace fs = std::filesystem;

constexpr uint32_t kErrorNotSupported = 50;  // ERROR_NOT_SUPPORTED
constexpr uint32_t kErrorNotFound = 1168;    // ERROR_NOT_FOUND
constexpr char kCgroupRoot[] = "/sys/fs/cgroup";

fs::path PathOf(const std::wstring& wide) {
  const std::string utf8 = WideToUtf8(wide);
  return fs::path(std::u8string(utf8.begin(), utf8.end()));
}

bool IsOwnProgram(const fs::path& path) {
  std::error_code error;
  const fs::path self = fs::read_symlink("/proc/self/exe", error);
  if (error) {
    return false;
  }
  if (fs::equivalent(path, self, error)) {
    return true;
  }
  return path.filename() == PathOf(SingboxImageName()) &&
         fs::equivalent(path.parent_path(), self.parent_path(), error);
}

// This process's group in the cgroup v2 hierarchy ("/system.slice/x.service").
std::optional<std::string> OwnGroup() {
  std::ifstream file("/proc/self/cgroup");
  std::string line;
  while (std::getline(file, line)) {
    if (line.rfind("0::", 0) == 0) {
      return line.substr(3);
    }
  }
  return std::nullopt;
}

// Where the cgroup v2 hierarchy is mounted, when it is mounted whole.
std::optional<fs::path> HierarchyMount() {
  std::ifstream file("/proc/self/mountinfo");
  std::string line;
  while (std::getline(file, line)) {
    // "id parent major:minor root mount-point options ... - fstype source super-options"
    std::istringstream fields(line);
    std::string id, parent, device, root, mount_point, field;
    fields >> id >> parent >> device >> root >> mount_point;
    while (fields >> field && field != "-") {
    }
    std::string type;
    fields >> type;
    if (type == "cgroup2" && root == "/") {
      return fs::path(mount_point);
    }
  }
  return std::nullopt;
}

std::optional<pid_t> ParentOf(pid_t pid) {
  std::ifstream file("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(file, line)) {
    if (line.rfind("PPid:", 0) == 0) {
      return static_cast<pid_t>(std::stol(line.substr(5)));
    }
  }
  return std::nullopt;
}

bool IsOwnTree(pid_t pid) {
  const pid_t self = getpid();
  for (int depth = 0; depth < 64 && pid > 1; ++depth) {
    if (pid == self) {
      return true;
    }
    const std::optional<pid_t> parent = ParentOf(pid);
    if (!parent) {
      return true;  // it ended while we looked
    }
    pid = *parent;
  }
  return pid == self;
}

// Whether every process in `group` and the groups below it is this process or its descendant.
bool HoldsOnlyOwnTree(const fs::path& group) {
  std::error_code error;
  std::vector<fs::path> lists = {group / "cgroup.procs"};
  for (fs::recursive_directory_iterator it(group, error), end; !error && it != end;
       it.increment(error)) {
    if (it->is_directory(error)) {
      lists.push_back(it->path() / "cgroup.procs");
    }
  }
  if (error) {
    return false;
  }
  for (const fs::path& list : lists) {
    std::ifstream file(list);
    if (!file) {
      return false;
    }
    pid_t pid = 0;
    while (file >> pid) {
      if (!IsOwnTree(pid)) {
        return false;
      }
    }
  }
  return true;
}

}  // namespace

WfpAppId OwnProcessTreeAppId(const std::wstring& path) {
  const fs::path file = PathOf(path);
  std::error_code error;
  if (path.empty() || !fs::is_regular_file(file, error)) {
    return {kErrorFileNotFound, {}};
  }
  if (!IsOwnProgram(file)) {
    return {kErrorNotSupported, {}};
  }
  const std::optional<std::string> group = OwnGroup();
  const std::optional<fs::path> mount = HierarchyMount();
  if (!group || !mount || *group == "/" || group->front() != '/') {
    return {kErrorNotFound, {}};
  }
  const fs::path below_root = mount->lexically_relative(kCgroupRoot);
  if (below_root.empty() || *below_root.begin() == "..") {
    return {kErrorNotFound, {}};
  }
  const fs::path directory = *mount / group->substr(1);
  if (!HoldsOnlyOwnTree(directory)) {
    return {kErrorNotFound, {}};
  }
  int level = 0;
  for (const fs::path& part : fs::path(group->substr(1))) {
    level += part.empty() ? 0 : 1;
  }
  const std::string relative = (below_root / group->substr(1)).lexically_normal().string();
  return {kWfpSuccess, CgroupAppId(level, relative == "." ? "" : relative)};
}

}  // namespace orvo_vpn_win_svc::platform
