#include "ipc/request_parsers.h"

#include <optional>
#include <string>
#include <vector>

#include "ipc/json_members.h"
#include "platform/log.h"
#include "platform/text_encoding.h"

namespace orvo_vpn_win_svc {
namespace {

using Json = nlohmann::json;

// Used when a relay request does not bring its own obfuscation password.
constexpr const char* kDefaultRelayObfsPassword = "Xq3LmT8vRk2Wn5PzYc7HdJ4sGb9FaE6uNw1VoKi0Rtg=";

// An empty string is a password too; only a missing or null member means "no obfuscation".
std::optional<std::string> ParseObfsPassword(const Json& config) {
  if (config.is_object()) {
    const auto member = config.find("obfs_password");
    if (member != config.end() && !member->is_null()) {
      std::string password = member->get<std::string>();
      LogLine("ORVO_SVC: Parsed obfs_password: [SET] (len=%zu)\n", password.size());
      return password;
    }
  }
  LogLine("ORVO_SVC: No obfs_password in config\n");
  return std::nullopt;
}

// Anything but a number (a string, null, ...) leaves the speed unset rather than failing.
std::optional<int32_t> ParseSpeedMbps(const Json& config) {
  if (config.is_object()) {
    const auto member = config.find("speed_mbps");
    if (member != config.end() && member->is_number()) {
      return NumberToInt32(*member, "speed_mbps");
    }
  }
  return std::nullopt;
}

ConnectionMetadata ParseConnectionMetadata(const Json& metadata, bool use_tor) {
  ConnectionMetadata parsed;
  parsed.server_id = metadata.value("server_id", std::string());
  parsed.session_id = metadata.value("session_id", std::string());
  parsed.access_code = metadata.value("access_code", std::string());
  parsed.server_country = metadata.value("server_country", std::string());
  parsed.server_city = metadata.value("server_city", std::string());
  parsed.server_country_code = metadata.value("server_country_code", std::string());
  parsed.server_latency_ms = ReadInt32(metadata, "server_latency_ms", 0);
  // The tunnel kind is decided by the config alone; a "use_tor" in the metadata is ignored.
  parsed.use_tor = use_tor;
  return parsed;
}

// The string elements of the array member `key`, in order. Elements of other types are skipped,
// and a member that is missing or not an array gives no elements.
std::vector<std::string> StringElements(const Json& object, const char* key) {
  std::vector<std::string> strings;
  if (!object.is_object()) {
    return strings;
  }
  const auto member = object.find(key);
  if (member == object.end() || !member->is_array()) {
    return strings;
  }
  for (const Json& element : *member) {
    if (element.is_string()) {
      strings.push_back(element.get<std::string>());
    }
  }
  return strings;
}

}  // namespace

Hysteria2ConnectRequest ParseHysteria2ConnectRequest(const Json& request) {
  const Json config = request.value("config", Json::object());
  const Json metadata = request.value("metadata", Json::object());
  LogLine("ORVO_SVC: === IPC CONNECT REQUEST ===\n");
  LogLine("ORVO_SVC: Received config (%zu bytes)\n", config.dump().size());

  Hysteria2ConnectRequest parsed;
  parsed.server_ip = config.value("server_ip", std::string());
  parsed.server_domain = config.value("host", std::string(parsed.server_ip));
  parsed.port = ReadInt32(config, "port", 443);
  parsed.password = config.value("password", std::string());
  LogLine("ORVO_SVC: Parsed server_ip: %s\n", parsed.server_ip.c_str());
  LogLine("ORVO_SVC: Parsed server_domain: %s\n", parsed.server_domain.c_str());
  LogLine("ORVO_SVC: Parsed port: %d\n", parsed.port);

  parsed.obfs_password = ParseObfsPassword(config);
  parsed.speed_mbps = ParseSpeedMbps(config);
  parsed.use_tor = config.value("use_tor", false);
  LogLine("ORVO_SVC: Parsed use_tor: %s\n", parsed.use_tor ? "true" : "false");
  LogLine("ORVO_SVC: =============================\n");

  parsed.metadata = ParseConnectionMetadata(metadata, parsed.use_tor);
  return parsed;
}

KillSwitchRequest ParseKillSwitchRequest(const Json& request) {
  const Json settings = request.value("settings", Json::object());
  KillSwitchRequest parsed;
  parsed.enabled = settings.value("enabled", false);
  parsed.allow_lan = settings.value("allow_lan", true);
  parsed.allowlist = StringElements(settings, "allowlist");
  // Application paths go to the firewall as wide text; invalid bytes become U+FFFD.
  for (const std::string& app : StringElements(settings, "permitted_apps")) {
    parsed.permitted_apps.push_back(Utf8ToWide(app));
  }
  return parsed;
}

RelayProxyRequest ParseRelayProxyRequest(const Json& config) {
  RelayProxyRequest parsed;
  parsed.relay_domain = config.value("relay_domain", std::string());
  parsed.relay_port = ReadInt32(config, "relay_port", 443);
  parsed.password = config.value("password", std::string());
  parsed.obfs_password = config.value("obfs_password", std::string(kDefaultRelayObfsPassword));
  parsed.local_port = ReadInt32(config, "local_port", 10808);
  return parsed;
}

}  // namespace orvo_vpn_win_svc
