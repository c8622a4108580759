#include "support/stand_in.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/text_encoding.h"
#include "singbox/singbox_protocol.h"
#include "support/platform_kind.h"

namespace orvo_test {
namespace {

std::optional<std::string> ReadVariable(const std::string& name) {
  const char* value = std::getenv(name.c_str());
  return value ? std::optional<std::string>(value) : std::nullopt;
}

void WriteVariable(const std::string& name, const std::optional<std::string>& value) {
#if defined(_WIN32)
  // _putenv_s updates the C runtime's copy and the process environment children inherit.
  _putenv_s(name.c_str(), value ? value->c_str() : "");
#else
  if (value) {
    setenv(name.c_str(), value->c_str(), 1);
  } else {
    unsetenv(name.c_str());
  }
#endif
}

}  // namespace

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

orvo_vpn_win_svc::platform::SpawnRequest StandInRequest(const std::wstring& arguments) {
  orvo_vpn_win_svc::platform::SpawnRequest request;
  request.command_line =
      L"\"" + orvo_vpn_win_svc::SingboxPathIn(StandInDirectory()) + L"\" " + arguments;
  request.work_dir = StandInDirectory();
  return request;
}

ScopedEnvironment::ScopedEnvironment(std::string name, const std::string& value)
    : name_(std::move(name)), previous_(ReadVariable(name_)) {
  WriteVariable(name_, value);
}

ScopedEnvironment::~ScopedEnvironment() {
  WriteVariable(name_, previous_);
}

std::string ReadWholeFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

}  // namespace orvo_test
