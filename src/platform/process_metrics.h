#pragma once

#include <chrono>
#include <cstddef>

namespace orvo_vpn_win_svc::platform {

// Figures about the running process, for leak checks and for measuring how busy a thread is.
struct ProcessMetrics {
  // CPU time used by the whole process so far (user and kernel).
  static std::chrono::microseconds CpuTime();
  // Open descriptors (Linux) or kernel handles (Windows).
  static size_t OpenHandles();
  // Threads of the process.
  static size_t Threads();
};

}  // namespace orvo_vpn_win_svc::platform
