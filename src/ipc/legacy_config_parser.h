#pragma once

#include <string_view>

#include "ipc/request_records.h"

namespace orvo_vpn_win_svc {

// Parses the legacy configuration text that follows "connect:". The text is searched, not parsed
// as JSON. Returns true when every field of `request` was found and valid; on false the record
// may be partly filled and must not be used.
bool ParseLegacyConfig(std::string_view text, ConnectRequest& request);

}  // namespace orvo_vpn_win_svc
