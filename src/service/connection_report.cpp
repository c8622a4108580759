#include "service/connection_report.h"

#include <nlohmann/json.hpp>

namespace orvo_vpn_win_svc {

std::string BuildConnectionReport(const ConnectionInfo* info) {
  using nlohmann::json;
  if (info == nullptr) {
    return json{{"error", "runtime_not_initialized"}, {"success", false}}.dump();
  }
  if (info->status != ConnectionStatus::Connected) {
    return json{{"error", "not_connected"}, {"success", false}}.dump();
  }
  const json data = {
      {"access_code", info->access_code},
      {"assigned_ip", info->assigned_ip},
      {"bytes_rx", info->bytes_rx},
      {"bytes_tx", info->bytes_tx},
      {"connected_at", info->connected_at},
      {"protocol", info->protocol.empty() ? std::string("hysteria2") : info->protocol},
      {"server_city", info->server_city},
      {"server_country", info->server_country},
      {"server_country_code", info->server_country_code},
      {"server_id", info->server_id},
      {"server_ip", info->server_ip},
      {"server_latency_ms", info->server_latency_ms},
      {"session_id", info->session_id},
      {"status", "connected"},
      {"use_tor", info->use_tor},
      {"worker_endpoint", info->worker_endpoint},
  };
  // Strict serialisation: a text that is not UTF-8 throws, and the dispatcher turns that into its
  // parse-error reply.
  return json{{"data", data}, {"success", true}}.dump(-1, ' ', false);
}

}  // namespace orvo_vpn_win_svc
