#pragma once

#include <string>

namespace orvo_test {

// Which system the test binary was built for, for the few checks that differ.
#ifdef _WIN32
inline constexpr bool kWindows = true;
#else
inline constexpr bool kWindows = false;
#endif

// True when a Windows build runs under Wine, which leaves some Win32 behaviour out.
bool RunningUnderWine();

// The directory holding the test-only sing-box stand-in, as the platform's APIs want it (a
// drive path under Wine).
std::wstring StandInDirectory();

// A directory name the platform's APIs accept for `posix_path` (a drive path under Wine).
std::wstring NativePath(const std::string& posix_path);

std::string ReadWholeFile(const std::string& path);

}  // namespace orvo_test
