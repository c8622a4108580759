#include "runtime/tunnel_library_loader.h"

#include <algorithm>
#include <mutex>

#include "platform/log.h"

namespace orvo_vpn_win_svc {
namespace {

constexpr char kGetAdapterLuid[] = "WintunGetAdapterLUID";

// Looks `name` up in `library` and stores it in `entry`, noting it in `missing` when absent.
template <typename Function>
void Look(const platform::DynamicLibrary& library, const char* name, Function*& entry,
          std::vector<std::string>& missing) {
  // The only way from a looked-up symbol to a typed function pointer.
  entry = reinterpret_cast<Function*>(library.Symbol(name));
  if (entry == nullptr) {
    missing.emplace_back(name);
  }
}

bool Optional(const std::string& name) {
  return name == "WintunDeleteAdapter" || name == kGetAdapterLuid;
}

// The "missing" lines of the entry points before WintunGetAdapterLUID, in table order.
void ReportMissing(const std::vector<std::string>& missing) {
  for (const std::string& name : missing) {
    if (name != kGetAdapterLuid) {
      DebugLineFormat("ORVO_SVC: missing %s\n", name.c_str());
    }
  }
}

}  // namespace

void KeepLoadedForProcess(std::unique_ptr<platform::DynamicLibrary> library) {
  if (!library) {
    return;
  }
  static std::mutex mutex;
  // Never destroyed, so nothing is unloaded during the process's exit either.
  static auto* const kept = new std::vector<std::unique_ptr<platform::DynamicLibrary>>();
  std::lock_guard lock(mutex);
  kept->push_back(std::move(library));
}

std::vector<std::string> FillWintunTable(const platform::DynamicLibrary& library,
                                         WintunFunctions& table) {
  std::vector<std::string> missing;
  Look(library, "WintunOpenAdapter", table.OpenAdapter, missing);
  Look(library, "WintunCreateAdapter", table.CreateAdapter, missing);
  Look(library, "WintunCloseAdapter", table.CloseAdapter, missing);
  Look(library, "WintunDeleteAdapter", table.DeleteAdapter, missing);
  Look(library, "WintunStartSession", table.StartSession, missing);
  Look(library, "WintunEndSession", table.EndSession, missing);
  Look(library, "WintunReceivePacket", table.ReceivePacket, missing);
  Look(library, "WintunReleaseReceivePacket", table.ReleaseReceivePacket, missing);
  Look(library, "WintunAllocateSendPacket", table.AllocateSendPacket, missing);
  Look(library, "WintunSendPacket", table.SendPacket, missing);
  Look(library, kGetAdapterLuid, table.GetAdapterLUID, missing);
  return missing;
}

std::vector<std::string> FillBoringtunTable(const platform::DynamicLibrary& library,
                                            BoringtunFunctions& table) {
  std::vector<std::string> missing;
  Look(library, "new_tunnel", table.new_tunnel, missing);
  Look(library, "wireguard_write", table.wireguard_write, missing);
  Look(library, "wireguard_read", table.wireguard_read, missing);
  Look(library, "wireguard_tick", table.wireguard_tick, missing);
  Look(library, "wireguard_force_handshake", table.wireguard_force_handshake, missing);
  Look(library, "tunnel_free", table.tunnel_free, missing);
  return missing;
}

bool LoadWintunLibrary(const LibraryLoader& load, LoadedTunnelLibrary<WintunFunctions>& wintun) {
  platform::LibraryLoad loaded = load(L"wintun.dll");
  if (!loaded.library) {
    DebugLineFormat("ORVO_SVC: LoadLibrary 'wintun.dll' failed, err=%lu\n",
                    static_cast<unsigned long>(loaded.error));
    return false;
  }
  DebugLine(L"ORVO_SVC: wintun.dll loaded\n");

  WintunFunctions table;
  const std::vector<std::string> missing = FillWintunTable(*loaded.library, table);
  ReportMissing(missing);
  if (!std::all_of(missing.begin(), missing.end(), Optional)) {
    DebugLine(L"ORVO_SVC: Wintun exports missing\n");
    ReportMissing(missing);
    if (std::find(missing.begin(), missing.end(), kGetAdapterLuid) != missing.end()) {
      DebugLineFormat("ORVO_SVC: missing %s\n", kGetAdapterLuid);
    }
    return false;
  }
  wintun.library = std::move(loaded.library);
  wintun.table = table;
  return true;
}

bool LoadBoringtunLibrary(const LibraryLoader& load,
                          LoadedTunnelLibrary<BoringtunFunctions>& boringtun) {
  platform::LibraryLoad loaded = load(L"boringtun.dll");
  if (!loaded.library) {
    return false;
  }
  BoringtunFunctions table;
  if (!FillBoringtunTable(*loaded.library, table).empty()) {
    return false;
  }
  boringtun.library = std::move(loaded.library);
  boringtun.table = table;
  return true;
}

}  // namespace orvo_vpn_win_svc
