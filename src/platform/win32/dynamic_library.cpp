#include "platform/dynamic_library.h"

#include <windows.h>

namespace orvo_vpn_win_svc::platform {
namespace {

class LoadedModule final : public DynamicLibrary {
 public:
  explicit LoadedModule(HMODULE module) : module_(module) {}
  ~LoadedModule() override { FreeLibrary(module_); }
  LoadedModule(const LoadedModule&) = delete;
  LoadedModule& operator=(const LoadedModule&) = delete;

  void* Symbol(const char* name) const override {
    return reinterpret_cast<void*>(GetProcAddress(module_, name));
  }

 private:
  HMODULE module_;
};

}  // namespace

LibraryLoad LoadDynamicLibrary(const std::wstring& file_name) {
  LibraryLoad load;
  HMODULE module = LoadLibraryW(file_name.c_str());
  if (module == nullptr) {
    load.error = GetLastError();
    return load;
  }
  load.library = std::make_unique<LoadedModule>(module);
  return load;
}

}  // namespace orvo_vpn_win_svc::platform
