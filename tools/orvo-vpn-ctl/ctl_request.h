#pragma once

#include <string>
#include <vector>

namespace orvo_vpn_ctl {

// What one invocation of the client sends, and how it shows the answer.
struct CtlRequest {
  std::wstring pipe_name = L"\\\\.\\pipe\\OrvoVpnWinSvc";
  std::string message;       // the exact bytes to send
  bool pretty = false;       // pretty-print a JSON reply
  bool raw = false;          // print the reply bytes exactly, nothing added
  int busy_wait_ms = 30000;  // how long to wait for a busy pipe
};

struct CtlParse {
  bool ok = false;
  CtlRequest request;
  std::string error;  // usage problem, when !ok
};

// Turns the command line (without the program name) into the message to send. Files named on
// the command line (a connect config, a WireGuard configuration) are read here.
CtlParse ParseCtlArguments(const std::vector<std::string>& arguments);

// The usage text.
const char* CtlUsage();

}  // namespace orvo_vpn_ctl
