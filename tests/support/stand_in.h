#pragma once

#include <optional>
#include <string>

#include "platform/child_process.h"

namespace orvo_test {

// The directory holding the test-only sing-box stand-in, as the platform's APIs want it (a
// drive path under Wine).
std::wstring StandInDirectory();

// A request that starts the stand-in with `arguments` ("run -c stdin" by default) in its own
// directory, with an input pipe.
orvo_vpn_win_svc::platform::SpawnRequest StandInRequest(
    const std::wstring& arguments = L"run -c stdin");

// A directory name the platform's APIs accept for `posix_path` (a drive path under Wine).
std::wstring NativePath(const std::string& posix_path);

// Sets an environment variable that started children inherit, and restores the old value.
class ScopedEnvironment {
 public:
  ScopedEnvironment(std::string name, const std::string& value);
  ~ScopedEnvironment();
  ScopedEnvironment(const ScopedEnvironment&) = delete;
  ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

 private:
  std::string name_;
  std::optional<std::string> previous_;
};

std::string ReadWholeFile(const std::string& path);

}  // namespace orvo_test
