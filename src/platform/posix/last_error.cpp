#include "platform/last_error.h"

#include <cerrno>

namespace orvo_vpn_win_svc::platform {

uint32_t LastSystemError() {
  return static_cast<uint32_t>(errno);
}

}  // namespace orvo_vpn_win_svc::platform
