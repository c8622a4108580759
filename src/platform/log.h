#pragma once

#include <string_view>

// The service's two report channels: narrow lines on the standard error stream, and wide lines
// for a debugger. Every subsystem reports through these functions so that tests can capture
// exactly what was reported (see LogCapture).

#if defined(__MINGW32__)
#define ORVO_PRINTF_FORMAT(format_index, first_arg) \
  __attribute__((format(gnu_printf, format_index, first_arg)))
#else
#define ORVO_PRINTF_FORMAT(format_index, first_arg) \
  __attribute__((format(printf, format_index, first_arg)))
#endif

namespace orvo_vpn_win_svc {

// Formats like fprintf and writes the result to standard error as one write. The format
// carries its own line end, so callers write their lines exactly as they should appear.
void LogLine(const char* format, ...) ORVO_PRINTF_FORMAT(1, 2);

// Debugger output: OutputDebugStringW / OutputDebugStringA on Windows, syslog at debug level
// elsewhere.
void DebugLine(std::wstring_view text);
void DebugLineNarrow(std::string_view text);
// Formats like printf and writes the result, widened byte by byte, as one wide debugger line.
void DebugLineFormat(const char* format, ...) ORVO_PRINTF_FORMAT(1, 2);

}  // namespace orvo_vpn_win_svc
