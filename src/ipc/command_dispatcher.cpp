#include "ipc/command_dispatcher.h"

#include "ipc/ipc_server.h"

namespace orvo_vpn_win_svc {

// Placeholder until the dispatcher lands.
std::string DispatchJsonCommand(IpcServer&, const std::string&) {
  return R"({"error":"unknown_command","success":false})";
}

}  // namespace orvo_vpn_win_svc
