#pragma once

#include <functional>
#include <string>
#include <vector>

#include "platform/dynamic_library.h"
#include "runtime/tunnel_library_tables.h"

namespace orvo_test {

// Full paths, as the platform's loader wants them, of the tunnel libraries this build makes:
// libwintun.so (Linux), the WireGuard protocol stand-in (libboringtun.so or boringtun.dll) and
// the wintun.dll stand-in (Windows build).
std::wstring WintunLibraryPath();
std::wstring WireGuardStandInPath();
std::wstring WintunStandInPath();
// The stand-in WireGuard server program (Linux).
std::string WireGuardStandInServerPath();
// The environment entry (LD_LIBRARY_PATH=...) with which a service started from anywhere finds
// both libwintun.so and the WireGuard protocol stand-in (Linux).
std::string TunnelLibrarySearchPath();

// Fills a function table by the entry points' names; the names not found are listed in
// `missing`. True when every entry point was found.
bool FillWintunTable(const orvo_vpn_win_svc::platform::DynamicLibrary& library,
                     orvo_vpn_win_svc::WintunFunctions& table, std::vector<std::string>& missing);
bool FillBoringtunTable(const orvo_vpn_win_svc::platform::DynamicLibrary& library,
                        orvo_vpn_win_svc::BoringtunFunctions& table,
                        std::vector<std::string>& missing);

// Runs `body` in a fresh network namespace of its own where TUN devices can be made (Linux, as
// root, with /dev/net/tun). False with `why_not` set when that is impossible; the caller skips.
bool RunInNamespaceWithTun(const std::function<void()>& body, std::string& why_not);

}  // namespace orvo_test
