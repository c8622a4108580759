#include "platform/last_error.h"

#include <windows.h>

namespace orvo_vpn_win_svc::platform {

uint32_t LastSystemError() {
  return static_cast<uint32_t>(GetLastError());
}

}  // namespace orvo_vpn_win_svc::platform
