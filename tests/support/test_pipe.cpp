#include "support/test_pipe.h"

#include <cstdlib>

namespace orvo_test {

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

// The scratch directory's name is unique to this process and this object.
TestPipe::TestPipe() {
  const std::string short_name = "OrvoVpnTest-" + directory_.path().filename().string();
  name_ = L"\\\\.\\pipe\\" + std::wstring(short_name.begin(), short_name.end());
  std::filesystem::permissions(directory_.path(), static_cast<std::filesystem::perms>(0755));
  SetEnvironment("ORVO_PIPE_DIR", directory_.path().string());
}

}  // namespace orvo_test
