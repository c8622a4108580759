#include <windows.h>

#include <string>

#include "platform/debug_output.h"

namespace orvo_vpn_win_svc::platform {

void WriteDebuggerOutput(std::wstring_view text) {
  const std::wstring line(text);
  OutputDebugStringW(line.c_str());
}

void WriteDebuggerOutputNarrow(std::string_view text) {
  const std::string line(text);
  OutputDebugStringA(line.c_str());
}

}  // namespace orvo_vpn_win_svc::platform
