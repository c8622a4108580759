#pragma once

#include <cstdint>
#include <string>

namespace orvo_vpn_win_svc {

// The runtime's state number; 4 is not used.
enum class ConnectionStatus : int32_t {
  Disconnected = 0,
  Connecting = 1,
  Connected = 2,
  Disconnecting = 3,
  Invalid = 5,
};

// The connection record the connection report and connection.json are built from.
struct ConnectionInfo {
  ConnectionStatus status = ConnectionStatus::Disconnected;
  std::string server_ip;
  std::string assigned_ip;
  std::string server_id;
  std::string session_id;
  std::string access_code;
  std::string server_country;
  std::string server_city;
  std::string server_country_code;
  std::string worker_endpoint;
  std::string protocol;
  int32_t server_latency_ms = 0;
  int64_t connected_at = 0;  // seconds since 1970-01-01 UTC
  bool use_tor = false;
  uint64_t bytes_rx = 0;
  uint64_t bytes_tx = 0;
};

}  // namespace orvo_vpn_win_svc
