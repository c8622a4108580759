#include "platform/socket_library.h"

namespace orvo_vpn_win_svc::platform {

bool StartSocketLibrary() {
  return true;
}

void StopSocketLibrary() {}

}  // namespace orvo_vpn_win_svc::platform
