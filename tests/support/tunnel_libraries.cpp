#include "support/tunnel_libraries.h"

#include <filesystem>

#include "runtime/tunnel_library_loader.h"
#include "support/network_namespace.h"
#include "support/platform_kind.h"
#include "support/stand_in.h"

namespace orvo_test {
namespace {

std::string BuildDirectory() {
  return ORVO_BUILD_DIR;
}

}  // namespace

std::wstring WintunLibraryPath() {
  return NativePath(BuildDirectory() + "/lib/libwintun.so");
}

std::wstring WireGuardStandInPath() {
  return NativePath(BuildDirectory() + "/test-bin/wireguard-stand-in/" +
                    (kWindows ? "boringtun.dll" : "libboringtun.so"));
}

std::wstring WintunStandInPath() {
  return NativePath(BuildDirectory() + "/test-bin/wintun-stand-in/wintun.dll");
}

std::string WireGuardStandInServerPath() {
  return BuildDirectory() + "/test-bin/wireguard-stand-in/wireguard-stand-in-server";
}

std::string TunnelLibrarySearchPath() {
  return "LD_LIBRARY_PATH=" + BuildDirectory() + "/lib:" + BuildDirectory() +
         "/test-bin/wireguard-stand-in";
}

bool FillWintunTable(const orvo_vpn_win_svc::platform::DynamicLibrary& library,
                     orvo_vpn_win_svc::WintunFunctions& table, std::vector<std::string>& missing) {
  missing = orvo_vpn_win_svc::FillWintunTable(library, table);
  return missing.empty();
}

bool FillBoringtunTable(const orvo_vpn_win_svc::platform::DynamicLibrary& library,
                        orvo_vpn_win_svc::BoringtunFunctions& table,
                        std::vector<std::string>& missing) {
  missing = orvo_vpn_win_svc::FillBoringtunTable(library, table);
  return missing.empty();
}

bool RunInNamespaceWithTun(const std::function<void()>& body, std::string& why_not) {
  std::error_code ignored;
  if (kWindows || !std::filesystem::exists("/dev/net/tun", ignored)) {
    why_not = "no /dev/net/tun on this system";
    return false;
  }
  return RunInOwnNetworkNamespace(body, why_not);
}

}  // namespace orvo_test
