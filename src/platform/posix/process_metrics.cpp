#include "platform/process_metrics.h"

#include <sys/resource.h>

#include <filesystem>
#include <system_error>

namespace orvo_vpn_win_svc::platform {
namespace {

size_t CountEntries(const char* directory) {
  std::error_code error;
  size_t count = 0;
  for (std::filesystem::directory_iterator it(directory, error), end; !error && it != end;
       it.increment(error)) {
    ++count;
  }
  return count;
}

}  // namespace

std::chrono::microseconds ProcessMetrics::CpuTime() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  const auto total = [](const timeval& time) {
    return std::chrono::seconds(time.tv_sec) + std::chrono::microseconds(time.tv_usec);
  };
  return total(usage.ru_utime) + total(usage.ru_stime);
}

// The directory iterator's own descriptor is counted too; callers compare counts, so it cancels.
size_t ProcessMetrics::OpenHandles() { return CountEntries("/proc/self/fd"); }

size_t ProcessMetrics::Threads() { return CountEntries("/proc/self/task"); }

}  // namespace orvo_vpn_win_svc::platform
