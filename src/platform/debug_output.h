#pragma once

#include <string_view>

namespace orvo_vpn_win_svc::platform {

// The system's debugger channel. Callers use DebugLine/DebugLineNarrow (log.h), which also feed
// any active LogCapture; these two only reach the system.
void WriteDebuggerOutput(std::wstring_view text);
void WriteDebuggerOutputNarrow(std::string_view text);

}  // namespace orvo_vpn_win_svc::platform
