#include "platform/dynamic_library.h"

#include <dlfcn.h>
#include <unistd.h>

#include <filesystem>

#include "platform/system_paths.h"
#include "platform/text_encoding.h"

namespace orvo_vpn_win_svc::platform {
namespace {

class SharedObject final : public DynamicLibrary {
 public:
  explicit SharedObject(void* handle) : handle_(handle) {}
  ~SharedObject() override { dlclose(handle_); }
  SharedObject(const SharedObject&) = delete;
  SharedObject& operator=(const SharedObject&) = delete;

  void* Symbol(const char* name) const override { return dlsym(handle_, name); }

 private:
  void* handle_;
};

// "wintun.dll" -> "libwintun.so"; other names are taken as they are.
std::string SharedObjectName(const std::wstring& file_name) {
  std::string name = WideToUtf8(file_name);
  const std::string dll = ".dll";
  if (name.size() > dll.size() && name.compare(name.size() - dll.size(), dll.size(), dll) == 0) {
    name = "lib" + name.substr(0, name.size() - dll.size()) + ".so";
  }
  return name;
}

// Windows looks in the application's directory before the system's; the Linux build keeps its
// libraries in lib/ beside the executable. The executable's run path cannot stand in for this:
// dlopen applies the run path of the object that calls it, and under AddressSanitizer that is
// the sanitizer's runtime, not the service.
std::string LibraryToOpen(const std::string& name) {
  const std::filesystem::path executable(WideToUtf8(ExecutablePath()));
  // Without the executable's own absolute path, "lib/" would be looked up relative to the
  // working directory, which is not ours to trust.
  if (name.find('/') != std::string::npos || !executable.is_absolute()) {
    return name;
  }
  const std::filesystem::path beside = executable.parent_path() / "lib" / name;
  return access(beside.c_str(), F_OK) == 0 ? beside.string() : name;
}

}  // namespace

LibraryLoad LoadDynamicLibrary(const std::wstring& file_name) {
  LibraryLoad load;
  void* handle = dlopen(LibraryToOpen(SharedObjectName(file_name)).c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    const char* text = dlerror();
    load.error = 126;  // the Windows loader's "module not found", which callers report
    load.error_text = text != nullptr ? text : "";
    return load;
  }
  load.library = std::make_unique<SharedObject>(handle);
  return load;
}

}  // namespace orvo_vpn_win_svc::platform
