#pragma once

#include <string>

namespace orvo_test {

// The directory holding the test-only sing-box stand-in, as the platform's APIs want it (a
// drive path under Wine).
std::wstring StandInDirectory();

// A directory name the platform's APIs accept for `posix_path` (a drive path under Wine).
std::wstring NativePath(const std::string& posix_path);

std::string ReadWholeFile(const std::string& path);

}  // namespace orvo_test
