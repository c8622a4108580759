#include "support/stand_in.h"

#include <fstream>
#include <sstream>

#include "platform/text_encoding.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace orvo_test {

bool RunningUnderWine() {
#ifdef _WIN32
  const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
#else
  return false;
#endif
}

std::wstring NativePath(const std::string& posix_path) {
  std::wstring path = orvo_vpn_win_svc::Utf8ToWide(posix_path);
  if (kWindows && !path.empty() && path[0] == L'/') {
    for (wchar_t& c : path) {
      c = c == L'/' ? L'\\' : c;
    }
    path = L"Z:" + path;
  }
  return path;
}

std::wstring StandInDirectory() {
  return NativePath(std::string(ORVO_BUILD_DIR) + "/test-bin");
}

std::string ReadWholeFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

}  // namespace orvo_test
