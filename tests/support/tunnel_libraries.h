#pragma once

#include <string>

#include "runtime/tunnel_library_loader.h"

namespace orvo_test {

// Full paths, as the platform's loader wants them, of the WireGuard protocol stand-in
// (libboringtun.so or boringtun.dll) and the wintun.dll stand-in (Windows build).
std::wstring WireGuardStandInPath();
std::wstring WintunStandInPath();
// What the tests load as wintun.dll and boringtun.dll: libwintun.so (ours) on Linux, the
// wintun.dll stand-in on Windows, and the WireGuard protocol stand-in.
orvo_vpn_win_svc::LibraryLoader TunnelLibraryLoader();
// The environment entry (LD_LIBRARY_PATH=...) with which a service started from anywhere finds
// both libwintun.so and the WireGuard protocol stand-in (Linux).
std::string TunnelLibrarySearchPath();

}  // namespace orvo_test
