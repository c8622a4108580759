#pragma once

#include <string>

namespace orvo_vpn_win_svc {

class IpcServer;

// The JSON command dispatcher: parses one JSON request, calls the handler slot of its command on
// `server` and returns the compact reply text. Never fails towards its caller: every error,
// including an exception thrown by a handler, becomes a reply.
std::string DispatchJsonCommand(IpcServer& server, const std::string& request);

}  // namespace orvo_vpn_win_svc
