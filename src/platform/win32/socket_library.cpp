#include "platform/socket_library.h"

#include <winsock2.h>

namespace orvo_vpn_win_svc::platform {

bool StartSocketLibrary() {
  WSADATA data{};
  return WSAStartup(MAKEWORD(2, 2), &data) == 0;
}

void StopSocketLibrary() {
  WSACleanup();
}

}  // namespace orvo_vpn_win_svc::platform
