#include "support/test_pipe.h"

#include <atomic>
#include <cstdlib>
#include <random>

namespace orvo_test {
namespace {

std::string UniqueSuffix() {
  static std::atomic<int> counter{0};
  static const unsigned seed = std::random_device{}();
  return std::to_string(seed) + "-" + std::to_string(counter++);
}

}  // namespace

void SetEnvironment(const std::string& name, const std::string& value) {
#ifdef _WIN32
  _putenv_s(name.c_str(), value.c_str());
#else
  if (value.empty()) {
    unsetenv(name.c_str());
  } else {
    setenv(name.c_str(), value.c_str(), 1);
  }
#endif
}

TestPipe::TestPipe() {
  const std::string suffix = UniqueSuffix();
  const std::string short_name = "OrvoVpnTest-" + suffix;
  name_ = L"\\\\.\\pipe\\" + std::wstring(short_name.begin(), short_name.end());
  directory_ = std::filesystem::temp_directory_path() / ("orvo-pipe-" + suffix);
  std::filesystem::create_directories(directory_);
  std::filesystem::permissions(directory_, static_cast<std::filesystem::perms>(0755));
  SetEnvironment("ORVO_PIPE_DIR", directory_.string());
}

TestPipe::~TestPipe() {
  std::error_code ignored;
  std::filesystem::remove_all(directory_, ignored);
}

}  // namespace orvo_test
