#pragma once

#include <cstdint>

namespace orvo_vpn_win_svc::platform {

// The calling thread's last error after a failed system or library call: GetLastError on
// Windows, errno elsewhere (libwintun.so leaves Windows error codes there, so the numbers a
// Wintun failure logs mean the same on both systems).
uint32_t LastSystemError();

}  // namespace orvo_vpn_win_svc::platform
