#pragma once

#include <string>

#include "runtime/connection_info.h"

namespace orvo_vpn_win_svc {

// The complete "get_connection_info" reply: "runtime_not_initialized" without a runtime
// (`info` null), "not_connected" unless `info` is Connected, otherwise the record as "data".
std::string BuildConnectionReport(const ConnectionInfo* info);

}  // namespace orvo_vpn_win_svc
