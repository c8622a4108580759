#include "ipc/legacy_config_parser.h"

namespace orvo_vpn_win_svc {

// Placeholder until the parser lands.
bool ParseLegacyConfig(std::string_view, ConnectRequest&) { return false; }

}  // namespace orvo_vpn_win_svc
