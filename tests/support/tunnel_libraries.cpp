#include "support/tunnel_libraries.h"

#include <filesystem>

#include "support/network_namespace.h"
#include "support/platform_kind.h"
#include "support/stand_in.h"

namespace orvo_test {
namespace {

const std::string kBuild = ORVO_BUILD_DIR;

}  // namespace

std::wstring WireGuardStandInPath() {
  return NativePath(kBuild + "/test-bin/wireguard-stand-in/" +
                    (kWindows ? "boringtun.dll" : "libboringtun.so"));
}

std::wstring WintunStandInPath() {
  return NativePath(kBuild + "/test-bin/wintun-stand-in/wintun.dll");
}

orvo_vpn_win_svc::LibraryLoader TunnelLibraryLoader() {
  return [](const std::wstring& file_name) {
    const std::wstring wintun =
        kWindows ? WintunStandInPath() : NativePath(kBuild + "/lib/libwintun.so");
    return orvo_vpn_win_svc::platform::LoadDynamicLibrary(
        file_name == L"wintun.dll" ? wintun : WireGuardStandInPath());
  };
}

std::string WireGuardStandInServerPath() {
  return kBuild + "/test-bin/wireguard-stand-in/wireguard-stand-in-server";
}

std::string TunnelLibrarySearchPath() {
  return "LD_LIBRARY_PATH=" + kBuild + "/lib:" + kBuild + "/test-bin/wireguard-stand-in";
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
