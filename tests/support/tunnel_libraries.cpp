#include "support/tunnel_libraries.h"

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

std::string TunnelLibrarySearchPath() {
  return "LD_LIBRARY_PATH=" + kBuild + "/lib:" + kBuild + "/test-bin/wireguard-stand-in";
}

}  // namespace orvo_test
