#include "support/process_resources.h"

#include <functional>

#include "platform/process_metrics.h"
#include "support/poll.h"

#if defined(_WIN32)
#include <windows.h>

#include <tlhelp32.h>
#else
#include <dirent.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#endif

namespace orvo_test {
namespace {

#if defined(_WIN32)

int CountChildren() {
  const DWORD self = GetCurrentProcessId();
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE) {
    return -1;
  }
  int count = 0;
  PROCESSENTRY32W process{};
  process.dwSize = sizeof process;
  for (BOOL more = Process32FirstW(snapshot, &process); more;
       more = Process32NextW(snapshot, &process)) {
    count += process.th32ParentProcessID == self ? 1 : 0;
  }
  CloseHandle(snapshot);
  return count;
}

#else

// Children, zombies included: every /proc entry whose parent is `pid`.
std::vector<int> ChildrenOf(int pid) {
  const std::string parent_text = std::to_string(pid);
  std::vector<int> children;
  DIR* listing = opendir("/proc");
  if (listing == nullptr) {
    return children;
  }
  while (const dirent* entry = readdir(listing)) {
    const std::string name = entry->d_name;
    if (name.find_first_not_of("0123456789") != std::string::npos) {
      continue;
    }
    std::ifstream stat("/proc/" + name + "/stat");
    std::string line;
    std::getline(stat, line);
    // pid (comm) state ppid ...: the command may hold spaces and parentheses, so parse after
    // the last ')'.
    const size_t close = line.rfind(')');
    if (close == std::string::npos) {
      continue;
    }
    std::istringstream rest(line.substr(close + 1));
    std::string state;
    std::string parent;
    rest >> state >> parent;
    if (parent == parent_text) {
      children.push_back(std::stoi(name));
    }
  }
  closedir(listing);
  return children;
}

int CountChildren() {
  return static_cast<int>(ChildrenOf(getpid()).size());
}

int CountDirectoryEntries(const std::string& path) {
  DIR* listing = opendir(path.c_str());
  if (listing == nullptr) {
    return -1;
  }
  int count = 0;
  while (const dirent* entry = readdir(listing)) {
    count += entry->d_name[0] != '.' ? 1 : 0;
  }
  closedir(listing);
  return count;
}

#endif

ProcessResources Count() {
  using orvo_vpn_win_svc::platform::ProcessMetrics;
  ProcessResources counts;
  counts.handles = static_cast<int>(ProcessMetrics::OpenHandles());
  counts.threads = static_cast<int>(ProcessMetrics::Threads());
  counts.children = CountChildren();
  return counts;
}

}  // namespace

std::string ProcessResources::Text() const {
  return "handles=" + std::to_string(handles) + " threads=" + std::to_string(threads) +
         " children=" + std::to_string(children);
}

ProcessResources CountProcessResources() {
  return Count();
}

#if defined(_WIN32)

ProcessResources CountProcessResourcesOf(int) {
  return {-1, -1, -1};
}

std::vector<int> ChildProcessIds(int) {
  return {};
}

#else

ProcessResources CountProcessResourcesOf(int pid) {
  const std::string proc = "/proc/" + std::to_string(pid);
  ProcessResources counts;
  counts.handles = CountDirectoryEntries(proc + "/fd");
  counts.threads = CountDirectoryEntries(proc + "/task");
  counts.children = static_cast<int>(ChildrenOf(pid).size());
  return counts;
}

std::vector<int> ChildProcessIds(int pid) {
  return ChildrenOf(pid);
}

#endif

namespace {

ProcessResources Settle(const ProcessResources& before,
                        const std::function<ProcessResources()>& count) {
  ProcessResources now;
  PollUntil(
      [&] {
        now = count();
        return now == before;
      },
      std::chrono::milliseconds(5000));
  return now;
}

}  // namespace

ProcessResources SettledResources(const ProcessResources& before) {
  return Settle(before, Count);
}

ProcessResources SettledResourcesOf(int pid, const ProcessResources& before) {
  return Settle(before, [pid] { return CountProcessResourcesOf(pid); });
}

}  // namespace orvo_test
