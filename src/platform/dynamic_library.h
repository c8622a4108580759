#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace orvo_vpn_win_svc::platform {

// A library loaded at run time by its bare file name, through the system's normal search, and
// unloaded when this object goes. On Linux "NAME.dll" is looked up as "libNAME.so", first in
// lib/ beside the executable (as Windows looks in the executable's directory first), then on
// the loader's search path.
class DynamicLibrary {
 public:
  virtual ~DynamicLibrary() = default;
  // The address of an exported symbol, or null.
  virtual void* Symbol(const char* name) const = 0;
};

struct LibraryLoad {
  std::unique_ptr<DynamicLibrary> library;  // empty on failure
  uint32_t error = 0;                       // the system's error code on failure
  std::string error_text;                   // the loader's own words, where it has them
};

LibraryLoad LoadDynamicLibrary(const std::wstring& file_name);

}  // namespace orvo_vpn_win_svc::platform
