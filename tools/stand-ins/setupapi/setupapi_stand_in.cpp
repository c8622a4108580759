// TEST EQUIPMENT, not SetupAPI: a setupapi.dll for Wine, whose SetupDiSetClassInstallParamsW is a
// stub that fails. This one checks the parameters of a DIF_REMOVE request as Microsoft documents
// them and records them. Every other function, SetupDiCallClassInstaller among them (Wine's
// removes the device for real), is forwarded to winesetu.dll, the renamed copy of Wine's
// setupapi.dll. Control export only this DLL has: StandInText.
#define _SETUPAPI_  // the function below is defined here, not imported
#include <windows.h>

#include <setupapi.h>

#include <mutex>
#include <string>
#include <utility>

namespace {

std::mutex g_mutex;
auto& g_record = *new std::string();  // never destroyed: no unload race

template <typename Function>
Function* Wine(const char* name) {
  static const HMODULE wine = LoadLibraryW(L"winesetu.dll");
  return reinterpret_cast<Function*>(reinterpret_cast<void*>(GetProcAddress(wine, name)));
}

void Note(const std::string& line) {
  std::lock_guard lock(g_mutex);
  g_record += line + "\n";
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
  // Wine reads the device's instance id, checking the set and the device on the way.
  char id[256] = {};
  auto* read_id = Wine<decltype(SetupDiGetDeviceInstanceIdA)>("SetupDiGetDeviceInstanceIdA");
  if (device == nullptr || !read_id(set, device, id, sizeof id, nullptr)) {
    return Refuse(device ? GetLastError() : ERROR_INVALID_PARAMETER, "no device of the set");
  }
  Note("class install params " + std::string(id) + ": DIF_REMOVE, scope " +
       (parameters->Scope == DI_REMOVEDEVICE_GLOBAL ? "global" : "config-specific") + ", profile " +
       std::to_string(parameters->HwProfile));
  return TRUE;
}

// Test control: the calls recorded since the last time, then forgotten; the text stays until the
// next time.
const char* StandInText() {
  static std::string text;
  std::lock_guard lock(g_mutex);
  text = std::exchange(g_record, std::string());
  return text.c_str();
}

}  // extern "C"
