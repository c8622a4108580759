#pragma once

#include <string>

namespace orvo_vpn_win_svc {

// Collects everything reported through LogLine and DebugLine while it exists, for tests and for
// checks that no secret reaches a log. Lines still go to their real channels as well.
// One capture is active at a time; a second one waits for the first to end.
class LogCapture {
 public:
  LogCapture();
  ~LogCapture();
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  // Everything written to standard error since the capture began.
  std::string StandardError() const;
  // Everything written to the debugger since the capture began: wide lines as they were given,
  // narrow lines widened byte by byte.
  std::wstring Debugger() const;
  // Forget what was collected so far.
  void Clear();
};

}  // namespace orvo_vpn_win_svc
