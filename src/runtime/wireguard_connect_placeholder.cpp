// Stands in for the WireGuard connect until the tunnel setup is built; that change replaces
// this file with the real Runtime::Connect.
#include "runtime/runtime.h"

namespace orvo_vpn_win_svc {

bool Runtime::Connect(const ConnectRequest& /*request*/, std::string& error) {
  error = "not_implemented";
  return false;
}

}  // namespace orvo_vpn_win_svc
