#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/dynamic_library.h"
#include "runtime/tunnel_library_tables.h"

namespace orvo_vpn_win_svc {

// Loads a library by its bare file name (LoadLibraryW; dlopen of libNAME.so on Linux).
using LibraryLoader = std::function<platform::LibraryLoad(const std::wstring& file_name)>;

// A tunnel library that passed its check, and its function table. It stays loaded for the life
// of the process (see KeepLoadedForProcess); one that failed its check is not kept, so the next
// connect tries again.
template <typename Table>
struct LoadedTunnelLibrary {
  std::unique_ptr<platform::DynamicLibrary> library;
  Table table;

  bool Loaded() const { return library != nullptr; }
};

// Takes a loaded library over for the rest of the process: it is never unloaded, whatever
// becomes of its loader. Null is ignored.
void KeepLoadedForProcess(std::unique_ptr<platform::DynamicLibrary> library);

// Look up every entry point of a table by name, in table order; they give the names not found.
std::vector<std::string> FillWintunTable(const platform::DynamicLibrary& library,
                                         WintunFunctions& table);
std::vector<std::string> FillBoringtunTable(const platform::DynamicLibrary& library,
                                            BoringtunFunctions& table);

// The Wintun loader: loads "wintun.dll" and looks up its eleven entry points, reporting each
// missing one. True when the nine required ones were found (DeleteAdapter and GetAdapterLUID
// may be absent); `wintun` is left unloaded otherwise.
bool LoadWintunLibrary(const LibraryLoader& load, LoadedTunnelLibrary<WintunFunctions>& wintun);

// Loads "boringtun.dll" and looks up its six entry points, all required; silent, as the
// connect's "boringtun_load_failed" is its only report.
bool LoadBoringtunLibrary(const LibraryLoader& load,
                          LoadedTunnelLibrary<BoringtunFunctions>& boringtun);

}  // namespace orvo_vpn_win_svc
