#pragma once

#include <nlohmann/json.hpp>
#include <string>

// The requests the service tests send, and the replies the service owes them, byte for byte.
namespace orvo_test::service_requests {

inline const std::string kConnect =
    R"({"cmd":"connect","config":{"server_ip":"198.51.100.7","host":"hy.example.net",)"
    R"("port":443,"password":"stand-in password"},"metadata":{"server_id":"srv-17",)"
    R"("session_id":"sess-9f","access_code":"AC-1234","server_country":"Netherlands",)"
    R"("server_city":"Amsterdam","server_country_code":"NL","server_latency_ms":23}})";
inline const std::string kConnected = R"({"error":"","success":true})";

inline const std::string kInfo = R"({"cmd":"get_connection_info"})";
inline const std::string kNotConnected = R"({"error":"not_connected","success":false})";

// The report of the connection kConnect brings up, made at `connected_at`.
inline std::string ConnectedReport(long long connected_at) {
  return R"({"data":{"access_code":"AC-1234","assigned_ip":"","bytes_rx":0,"bytes_tx":0,)"
         R"("connected_at":)" +
         std::to_string(connected_at) +
         R"(,"protocol":"hysteria2","server_city":"Amsterdam","server_country":"Netherlands",)"
         R"("server_country_code":"NL","server_id":"srv-17","server_ip":"198.51.100.7",)"
         R"("server_latency_ms":23,"session_id":"sess-9f","status":"connected","use_tor":false,)"
         R"("worker_endpoint":"198.51.100.7:443"},"success":true})";
}

inline const std::string kDisconnect = R"({"cmd":"disconnect"})";
inline const std::string kStatus = R"({"cmd":"status"})";
inline const std::string kKillSwitchStatus = R"({"cmd":"get_kill_switch_status"})";
inline const std::string kRelayRunning = R"({"cmd":"is_relay_proxy_running"})";
inline const std::string kRelayStop = R"({"cmd":"stop_relay_proxy"})";
inline const std::string kSuccess = R"({"success":true})";

inline std::string StatusReply(const std::string& state) {
  return R"({"data":{"status":")" + state + R"("},"success":true})";
}
inline std::string KillSwitchReply(bool enabled) {
  return std::string(R"({"data":{"enabled":)") + (enabled ? "true" : "false") +
         R"(},"success":true})";
}
inline std::string RelayReply(bool running) {
  return std::string(R"({"running":)") + (running ? "true" : "false") + R"(,"success":true})";
}
inline std::string RelayStart(int local_port) {
  return R"({"cmd":"start_relay_proxy","config":{"relay_domain":"127.0.0.1","relay_port":8443,)"
         R"("password":"relay-pw","obfs_password":"relay-obfs","local_port":)" +
         std::to_string(local_port) + "}}";
}

// The parse-error reply to `text`, carrying the JSON library's own message.
inline std::string ParseErrorReply(const std::string& text) {
  try {
    const nlohmann::json parsed = nlohmann::json::parse(text);
    return "(" + parsed.dump() + " parsed)";
  } catch (const nlohmann::json::exception& error) {
    return nlohmann::json{{"error", std::string("parse_error: ") + error.what()},
                          {"success", false}}
        .dump();
  }
}

}  // namespace orvo_test::service_requests
