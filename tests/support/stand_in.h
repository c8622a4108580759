#pragma once

#include <optional>
#include <string>

namespace orvo_test {

// The directory holding the test-only sing-box stand-in, as the platform's APIs want it (a
// drive path under Wine).
std::wstring StandInDirectory();

// A directory name the platform's APIs accept for `posix_path` (a drive path under Wine).
std::wstring NativePath(const std::string& posix_path);

// Whether the tests run as a Windows program (under Wine here).
bool RunningOnWindows();

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

// A fresh empty directory for one test, removed at destruction.
class TemporaryDirectory {
 public:
  TemporaryDirectory();
  ~TemporaryDirectory();
  TemporaryDirectory(const TemporaryDirectory&) = delete;
  TemporaryDirectory& operator=(const TemporaryDirectory&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

std::string ReadWholeFile(const std::string& path);

}  // namespace orvo_test
