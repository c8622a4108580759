#pragma once

namespace orvo_test {

// Which system the test binary was built for, for the few checks that differ.
#ifdef _WIN32
inline constexpr bool kWindows = true;
#else
inline constexpr bool kWindows = false;
#endif

// True when a Windows build runs under Wine, which leaves some Win32 behaviour out.
bool RunningUnderWine();

}  // namespace orvo_test
