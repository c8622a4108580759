#include <syslog.h>

#include <string>

#include "platform/debug_output.h"
#include "platform/text_encoding.h"

namespace orvo_vpn_win_svc::platform {

// Linux has no debugger channel of its own; syslog at debug level is where a developer looks.
void WriteDebuggerOutput(std::wstring_view text) {
  WriteDebuggerOutputNarrow(WideToUtf8(text));
}

void WriteDebuggerOutputNarrow(std::string_view text) {
  const std::string line(text);
  syslog(LOG_DEBUG, "%s", line.c_str());
}

}  // namespace orvo_vpn_win_svc::platform
