#pragma once

#include <nlohmann/json.hpp>

#include "ipc/request_records.h"

namespace orvo_vpn_win_svc {

// Readers that turn the members of a JSON request into request records, supplying every default.
// A member of the wrong JSON type (a "config" that is not an object, a string where a number
// belongs, ...) throws; the dispatcher turns that into its parse-error reply.

// "connect": reads "config" and "metadata" of `request` and logs what it parsed (never the
// passwords themselves).
Hysteria2ConnectRequest ParseHysteria2ConnectRequest(const nlohmann::json& request);

// "set_kill_switch": reads "settings" of `request`.
KillSwitchRequest ParseKillSwitchRequest(const nlohmann::json& request);

// "start_relay_proxy": reads the request's "config" member, which the caller has found present.
RelayProxyRequest ParseRelayProxyRequest(const nlohmann::json& config);

}  // namespace orvo_vpn_win_svc
