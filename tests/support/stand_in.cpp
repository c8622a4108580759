#include "support/stand_in.h"

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/text_encoding.h"

#if defined(_WIN32)
#include <process.h>
#else
#include <unistd.h>
#endif

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

int ProcessId() {
#if defined(_WIN32)
  return _getpid();
#else
  return static_cast<int>(getpid());
#endif
}

}  // namespace

bool RunningOnWindows() {
#if defined(_WIN32)
  return true;
#else
  return false;
#endif
}

std::wstring NativePath(const std::string& posix_path) {
  std::wstring path = orvo_vpn_win_svc::Utf8ToWide(posix_path);
  if (RunningOnWindows() && !path.empty() && path[0] == L'/') {
    for (wchar_t& c : path) {
      c = c == L'/' ? L'\\' : c;
    }
    path = L"Z:" + path;
  }
  return path;
}

std::wstring StandInDirectory() { return NativePath(std::string(ORVO_BUILD_DIR) + "/test-bin"); }

ScopedEnvironment::ScopedEnvironment(std::string name, const std::string& value)
    : name_(std::move(name)), previous_(ReadVariable(name_)) {
  WriteVariable(name_, value);
}

ScopedEnvironment::~ScopedEnvironment() { WriteVariable(name_, previous_); }

TemporaryDirectory::TemporaryDirectory() {
  static std::atomic<int> counter{0};
  const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
  std::filesystem::path path = std::filesystem::temp_directory_path() /
                               ("orvo-test-" + std::to_string(ProcessId()) + "-" +
                                std::to_string(stamp) + "-" + std::to_string(counter++));
  std::filesystem::create_directories(path);
  path_ = path.string();
}

TemporaryDirectory::~TemporaryDirectory() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

std::string ReadWholeFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

}  // namespace orvo_test
