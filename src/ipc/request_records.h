#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace orvo_vpn_win_svc {

// WireGuard tunnel request, filled only from the legacy configuration text of "connect:".
struct ConnectRequest {
  std::string serverEndpoint;
  std::string serverPublicKey;
  std::string privateKey;
  std::string assignedIp;
  std::vector<std::string> dnsServers;
  std::vector<std::string> allowedIps;
  uint16_t mtu = 0;
};

// Descriptive data about the chosen server, kept by the runtime and reported back.
struct ConnectionMetadata {
  std::string server_id;
  std::string session_id;
  std::string access_code;
  std::string server_country;
  std::string server_city;
  std::string server_country_code;
  int32_t server_latency_ms = 0;
  bool use_tor = false;  // a copy of the request's use_tor, never read from "metadata"
};

// Hysteria2 tunnel request, from the JSON "connect" command.
struct Hysteria2ConnectRequest {
  std::string server_ip;
  std::string server_domain;
  int32_t port = 443;
  std::string password;
  std::optional<std::string> obfs_password;
  std::optional<int32_t> speed_mbps;
  bool use_tor = false;
  ConnectionMetadata metadata;
};

// Kill-switch settings, from "set_kill_switch".
struct KillSwitchRequest {
  bool enabled = false;
  bool allow_lan = true;
  std::vector<std::string> allowlist;
  std::vector<std::wstring> permitted_apps;
};

// Relay proxy settings, from "start_relay_proxy". The fixed default obfuscation password is
// supplied by the dispatcher when the member is missing, not by this record.
struct RelayProxyRequest {
  std::string relay_domain;
  int32_t relay_port = 443;
  std::string password;
  std::string obfs_password;
  int32_t local_port = 10808;
};

}  // namespace orvo_vpn_win_svc
