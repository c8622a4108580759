#pragma once

namespace orvo_vpn_win_svc::platform {

// Starts the system's socket library, version 2.2 (WSAStartup with 0x0202). Every successful
// start counts; StopSocketLibrary undoes one. Linux sockets need no start: always true there.
bool StartSocketLibrary();
void StopSocketLibrary();

}  // namespace orvo_vpn_win_svc::platform
