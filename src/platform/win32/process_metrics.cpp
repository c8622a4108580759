#include "platform/process_metrics.h"

#include <windows.h>
#include <tlhelp32.h>

#include "platform/win32/unique_handle.h"

namespace orvo_vpn_win_svc::platform {

std::chrono::microseconds ProcessMetrics::CpuTime() {
  FILETIME created{};
  FILETIME exited{};
  FILETIME kernel{};
  FILETIME user{};
  if (!GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user)) {
    return std::chrono::microseconds(0);
  }
  const auto ticks = [](const FILETIME& time) {
    return (static_cast<unsigned long long>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
  };
  // FILETIME counts 100-nanosecond ticks.
  return std::chrono::microseconds((ticks(kernel) + ticks(user)) / 10);
}

size_t ProcessMetrics::OpenHandles() {
  DWORD count = 0;
  GetProcessHandleCount(GetCurrentProcess(), &count);
  return count;
}

size_t ProcessMetrics::Threads() {
  UniqueHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0));
  if (!snapshot.Valid()) {
    return 0;
  }
  const DWORD self = GetCurrentProcessId();
  size_t count = 0;
  THREADENTRY32 entry{};
  entry.dwSize = sizeof(entry);
  for (BOOL more = Thread32First(snapshot.Get(), &entry); more;
       more = Thread32Next(snapshot.Get(), &entry)) {
    if (entry.th32OwnerProcessID == self) {
      ++count;
    }
  }
  return count;
}

}  // namespace orvo_vpn_win_svc::platform
