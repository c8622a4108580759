#include "support/process_resources.h"

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

ProcessResources Count() {
  ProcessResources counts;
  DWORD handles = 0;
  GetProcessHandleCount(GetCurrentProcess(), &handles);
  counts.handles = static_cast<int>(handles);
  const DWORD self = GetCurrentProcessId();
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS | TH32CS_SNAPTHREAD, 0);
  if (snapshot == INVALID_HANDLE_VALUE) {
    return counts;
  }
  THREADENTRY32 thread{};
  thread.dwSize = sizeof thread;
  for (BOOL more = Thread32First(snapshot, &thread); more; more = Thread32Next(snapshot, &thread)) {
    counts.threads += thread.th32OwnerProcessID == self ? 1 : 0;
  }
  PROCESSENTRY32W process{};
  process.dwSize = sizeof process;
  for (BOOL more = Process32FirstW(snapshot, &process); more;
       more = Process32NextW(snapshot, &process)) {
    counts.children += process.th32ParentProcessID == self ? 1 : 0;
  }
  CloseHandle(snapshot);
  return counts;
}

#else

int CountEntries(const std::string& directory) {
  DIR* listing = opendir(directory.c_str());
  if (listing == nullptr) {
    return -1;
  }
  int count = 0;
  while (const dirent* entry = readdir(listing)) {
    count += entry->d_name[0] != '.' ? 1 : 0;
  }
  closedir(listing);
  return count - (directory == "/proc/self/fd" ? 1 : 0);  // the listing's own descriptor
}

int CountChildren() {
  const std::string self = std::to_string(getpid());
  int count = 0;
  DIR* listing = opendir("/proc");
  if (listing == nullptr) {
    return -1;
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
    count += parent == self ? 1 : 0;
  }
  closedir(listing);
  return count;
}

ProcessResources Count() {
  ProcessResources counts;
  counts.handles = CountEntries("/proc/self/fd");
  counts.threads = CountEntries("/proc/self/task");
  counts.children = CountChildren();
  return counts;
}

#endif

}  // namespace

std::string ProcessResources::Text() const {
  return "handles=" + std::to_string(handles) + " threads=" + std::to_string(threads) +
         " children=" + std::to_string(children);
}

ProcessResources CountProcessResources() { return Count(); }

ProcessResources SettledResources(const ProcessResources& before) {
  ProcessResources now;
  PollUntil(
      [&] {
        now = Count();
        return now == before;
      },
      std::chrono::milliseconds(5000));
  return now;
}

}  // namespace orvo_test
