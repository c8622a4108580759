#include "support/tunnel_libraries.h"

#include <filesystem>

#include "support/network_namespace.h"
#include "support/platform_kind.h"
#include "support/stand_in.h"

namespace orvo_test {
namespace {

std::string BuildDirectory() {
  return ORVO_BUILD_DIR;
}

// Looks up `name` and stores it in `entry` as the entry's own function type.
template <typename Function>
void Fill(const orvo_vpn_win_svc::platform::DynamicLibrary& library, const char* name,
          Function& entry, std::vector<std::string>& missing) {
  void* address = library.Symbol(name);
  if (address == nullptr) {
    missing.emplace_back(name);
    return;
  }
  entry = reinterpret_cast<Function>(address);
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

bool FillWintunTable(const orvo_vpn_win_svc::platform::DynamicLibrary& library,
                     orvo_vpn_win_svc::WintunFunctions& table, std::vector<std::string>& missing) {
  Fill(library, "WintunOpenAdapter", table.OpenAdapter, missing);
  Fill(library, "WintunCreateAdapter", table.CreateAdapter, missing);
  Fill(library, "WintunCloseAdapter", table.CloseAdapter, missing);
  Fill(library, "WintunDeleteAdapter", table.DeleteAdapter, missing);
  Fill(library, "WintunStartSession", table.StartSession, missing);
  Fill(library, "WintunEndSession", table.EndSession, missing);
  Fill(library, "WintunReceivePacket", table.ReceivePacket, missing);
  Fill(library, "WintunReleaseReceivePacket", table.ReleaseReceivePacket, missing);
  Fill(library, "WintunAllocateSendPacket", table.AllocateSendPacket, missing);
  Fill(library, "WintunSendPacket", table.SendPacket, missing);
  Fill(library, "WintunGetAdapterLUID", table.GetAdapterLUID, missing);
  return missing.empty();
}

bool FillBoringtunTable(const orvo_vpn_win_svc::platform::DynamicLibrary& library,
                        orvo_vpn_win_svc::BoringtunFunctions& table,
                        std::vector<std::string>& missing) {
  Fill(library, "new_tunnel", table.new_tunnel, missing);
  Fill(library, "wireguard_write", table.wireguard_write, missing);
  Fill(library, "wireguard_read", table.wireguard_read, missing);
  Fill(library, "wireguard_tick", table.wireguard_tick, missing);
  Fill(library, "wireguard_force_handshake", table.wireguard_force_handshake, missing);
  Fill(library, "tunnel_free", table.tunnel_free, missing);
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
