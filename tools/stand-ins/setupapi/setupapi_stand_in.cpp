// TEST EQUIPMENT, not SetupAPI: a setupapi.dll for Wine, whose SetupDiSetClassInstallParamsW is a
// stub that fails. This one checks the parameters of a DIF_REMOVE request as Microsoft documents
// them and records them; SetupDiCallClassInstaller is recorded and passed on to Wine's own, which
// removes the device for real. Every other function is forwarded to winesetu.dll, the renamed
// copy of Wine's setupapi.dll. Control export only this DLL has: StandInText.
#define _SETUPAPI_  // the functions below are defined here, not imported
#include <windows.h>

#include <setupapi.h>

#include <cstring>
#include <mutex>
#include <set>
#include <string>
#include <utility>

namespace {

std::mutex g_mutex;
auto& g_record = *new std::string();                 // never destroyed: no unload race
auto& g_prepared = *new std::set<std::string>();     // devices whose removal has parameters

template <typename Function>
Function* Wine(const char* name) {
  static const HMODULE wine = LoadLibraryW(L"winesetu.dll");
  return reinterpret_cast<Function*>(reinterpret_cast<void*>(GetProcAddress(wine, name)));
}

void Note(const std::string& line) {
  std::lock_guard lock(g_mutex);
  g_record += line + "\n";
}

// The device's instance id, read by Wine, which checks set and device on the way: empty (with
// the thread's last error set) when they are no device of a set.
std::string InstanceId(HDEVINFO set, PSP_DEVINFO_DATA device) {
  char id[256] = {};
  auto* read = Wine<decltype(SetupDiGetDeviceInstanceIdA)>("SetupDiGetDeviceInstanceIdA");
  if (device == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
  }
  return device != nullptr && read(set, device, id, sizeof id, nullptr) ? id : "";
}

BOOL Refuse(DWORD error, const std::string& why) {
  Note("refused SetupDiSetClassInstallParamsW: " + why);
  SetLastError(error);
  return FALSE;
}

}  // namespace

extern "C" {

// Parameters for another install function, or clearing them, are Wine's to refuse.
BOOL WINAPI SetupDiSetClassInstallParamsW(HDEVINFO set, PSP_DEVINFO_DATA device,
                                          PSP_CLASSINSTALL_HEADER header, DWORD size) {
  if (header == nullptr || header->InstallFunction != DIF_REMOVE) {
    return Wine<decltype(SetupDiSetClassInstallParamsW)>("SetupDiSetClassInstallParamsW")(
        set, device, header, size);
  }
  const auto* parameters = reinterpret_cast<const SP_REMOVEDEVICE_PARAMS*>(header);
  if (header->cbSize != sizeof(SP_CLASSINSTALL_HEADER)) {
    return Refuse(ERROR_INVALID_USER_BUFFER, "cbSize " + std::to_string(header->cbSize));
  }
  if (size != sizeof(SP_REMOVEDEVICE_PARAMS)) {
    return Refuse(ERROR_INVALID_PARAMETER, "size " + std::to_string(size));
  }
  if (parameters->Scope != DI_REMOVEDEVICE_GLOBAL &&
      parameters->Scope != DI_REMOVEDEVICE_CONFIGSPECIFIC) {
    return Refuse(ERROR_INVALID_FLAGS, "Scope " + std::to_string(parameters->Scope));
  }
  const std::string id = InstanceId(set, device);
  if (id.empty()) {
    return Refuse(GetLastError(), "no device of the set");
  }
  Note("class install params " + id + ": DIF_REMOVE, scope " +
       (parameters->Scope == DI_REMOVEDEVICE_GLOBAL ? "global" : "config-specific") +
       ", profile " + std::to_string(parameters->HwProfile));
  std::lock_guard lock(g_mutex);
  g_prepared.insert(id);
  return TRUE;
}

BOOL WINAPI SetupDiCallClassInstaller(DI_FUNCTION function, HDEVINFO set,
                                      PSP_DEVINFO_DATA device) {
  const std::string id = function == DIF_REMOVE ? InstanceId(set, device) : "";
  bool prepared = false;
  {
    std::lock_guard lock(g_mutex);
    prepared = g_prepared.erase(id) != 0;
  }
  const BOOL done = Wine<decltype(SetupDiCallClassInstaller)>("SetupDiCallClassInstaller")(
      function, set, device);
  const DWORD error = GetLastError();
  if (function == DIF_REMOVE) {
    Note("class installer DIF_REMOVE " + id + (prepared ? "" : " without its parameters") +
         (done ? "" : ": error " + std::to_string(error)));
  }
  SetLastError(error);
  return done;
}

// Test control: the calls recorded since the last time, then forgotten, copied into `buffer`
// with a NUL; the length of the whole text.
size_t StandInText(const char* /*what*/, char* buffer, size_t size) {
  std::lock_guard lock(g_mutex);
  std::strncpy(buffer, g_record.c_str(), size);
  buffer[size - 1] = '\0';
  return std::exchange(g_record, std::string()).size();
}

}  // extern "C"
