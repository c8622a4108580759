#include "ctl_request.h"

#include <charconv>
#include <fstream>
#include <iterator>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <sstream>

#include "platform/text_encoding.h"

namespace orvo_vpn_ctl {
namespace {

using nlohmann::json;

// The remaining words of the command line, consumed front to back.
class Words {
 public:
  explicit Words(const std::vector<std::string>& words) : words_(words) {}
  bool Empty() const { return next_ >= words_.size(); }
  const std::string& Peek() const { return words_[next_]; }
  std::string Take() { return words_[next_++]; }

 private:
  const std::vector<std::string>& words_;
  size_t next_ = 0;
};

struct Failure {
  std::string text;
};

std::optional<std::string> ReadFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) {
    return std::nullopt;
  }
  return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

std::optional<int> ParseInt(const std::string& text) {
  int value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size()) {
    return std::nullopt;
  }
  return value;
}

// The value after an option; fails when the option ends the line.
std::string OptionValue(Words& words, const std::string& option) {
  if (words.Empty()) {
    throw Failure{option + " needs a value"};
  }
  return words.Take();
}

int IntOption(Words& words, const std::string& option) {
  const auto value = ParseInt(OptionValue(words, option));
  if (!value) {
    throw Failure{option + " needs a whole number"};
  }
  return *value;
}

json JsonFileOption(Words& words, const std::string& option) {
  const std::string path = OptionValue(words, option);
  const auto text = ReadFile(path);
  if (!text) {
    throw Failure{"cannot read " + path};
  }
  json value = json::parse(*text, nullptr, false);
  if (!value.is_object()) {
    throw Failure{path + " does not hold a JSON object"};
  }
  return value;
}

std::string Command(const char* name) { return json{{"cmd", name}}.dump(); }

std::string ConnectMessage(Words& words) {
  json config = json::object();
  json metadata = json::object();
  const std::map<std::string, std::string> string_options = {
      {"--server-ip", "server_ip"}, {"--host", "host"}, {"--password", "password"},
      {"--obfs-password", "obfs_password"}};
  const std::map<std::string, std::string> metadata_options = {
      {"--server-id", "server_id"},         {"--session-id", "session_id"},
      {"--access-code", "access_code"},     {"--country", "server_country"},
      {"--city", "server_city"},            {"--country-code", "server_country_code"}};
  while (!words.Empty()) {
    const std::string option = words.Take();
    if (option == "--config") {
      config.update(JsonFileOption(words, option));
    } else if (option == "--metadata") {
      metadata.update(JsonFileOption(words, option));
    } else if (string_options.contains(option)) {
      config[string_options.at(option)] = OptionValue(words, option);
    } else if (metadata_options.contains(option)) {
      metadata[metadata_options.at(option)] = OptionValue(words, option);
    } else if (option == "--port") {
      config["port"] = IntOption(words, option);
    } else if (option == "--speed-mbps") {
      config["speed_mbps"] = IntOption(words, option);
    } else if (option == "--latency-ms") {
      metadata["server_latency_ms"] = IntOption(words, option);
    } else if (option == "--tor") {
      config["use_tor"] = true;
    } else {
      throw Failure{"unknown connect option " + option};
    }
  }
  return json{{"cmd", "connect"}, {"config", config}, {"metadata", metadata}}.dump();
}

std::string WireGuardConnectMessage(Words& words) {
  if (words.Empty()) {
    throw Failure{"wg-connect needs a configuration file"};
  }
  const std::string path = words.Take();
  const auto text = ReadFile(path);
  if (!text) {
    throw Failure{"cannot read " + path};
  }
  return "connect:" + *text;
}

std::string KillSwitchMessage(Words& words) {
  if (words.Empty()) {
    throw Failure{"kill-switch needs on, off or status"};
  }
  const std::string action = words.Take();
  if (action == "status") {
    return Command("get_kill_switch_status");
  }
  if (action != "on" && action != "off") {
    throw Failure{"kill-switch needs on, off or status, not " + action};
  }
  json settings = {{"enabled", action == "on"}, {"allow_lan", true},
                   {"allowlist", json::array()}, {"permitted_apps", json::array()}};
  while (!words.Empty()) {
    const std::string option = words.Take();
    if (option == "--no-lan") {
      settings["allow_lan"] = false;
    } else if (option == "--allow") {
      settings["allowlist"].push_back(OptionValue(words, option));
    } else if (option == "--app") {
      settings["permitted_apps"].push_back(OptionValue(words, option));
    } else {
      throw Failure{"unknown kill-switch option " + option};
    }
  }
  return json{{"cmd", "set_kill_switch"}, {"settings", settings}}.dump();
}

std::string RelayMessage(Words& words) {
  if (words.Empty()) {
    throw Failure{"relay needs start, stop or status"};
  }
  const std::string action = words.Take();
  if (action == "stop") {
    return Command("stop_relay_proxy");
  }
  if (action == "status") {
    return Command("is_relay_proxy_running");
  }
  if (action != "start") {
    throw Failure{"relay needs start, stop or status, not " + action};
  }
  json config = json::object();
  while (!words.Empty()) {
    const std::string option = words.Take();
    if (option == "--domain") {
      config["relay_domain"] = OptionValue(words, option);
    } else if (option == "--port") {
      config["relay_port"] = IntOption(words, option);
    } else if (option == "--password") {
      config["password"] = OptionValue(words, option);
    } else if (option == "--obfs-password") {
      config["obfs_password"] = OptionValue(words, option);
    } else if (option == "--local-port") {
      config["local_port"] = IntOption(words, option);
    } else {
      throw Failure{"unknown relay option " + option};
    }
  }
  return json{{"cmd", "start_relay_proxy"}, {"config", config}}.dump();
}

std::string Message(const std::string& command, Words& words, CtlRequest& request) {
  if (command == "status") return Command("status");
  if (command == "disconnect") return Command("disconnect");
  if (command == "info") return Command("get_connection_info");
  if (command == "permission") return Command("permission");
  if (command == "connect") return ConnectMessage(words);
  if (command == "wg-connect") return WireGuardConnectMessage(words);
  if (command == "kill-switch") return KillSwitchMessage(words);
  if (command == "relay") return RelayMessage(words);
  if (command == "raw") {
    if (words.Empty()) {
      throw Failure{"raw needs the text to send"};
    }
    request.raw = true;
    return words.Take();
  }
  throw Failure{"unknown command " + command};
}

}  // namespace

CtlParse ParseCtlArguments(const std::vector<std::string>& arguments) {
  CtlParse parse;
  Words words(arguments);
  try {
    while (!words.Empty() && words.Peek().rfind("--", 0) == 0) {
      const std::string option = words.Take();
      if (option == "--pretty") {
        parse.request.pretty = true;
      } else if (option == "--pipe") {
        parse.request.pipe_name = orvo_vpn_win_svc::Utf8ToWide(OptionValue(words, option));
      } else if (option == "--wait-ms") {
        parse.request.busy_wait_ms = IntOption(words, option);
      } else {
        throw Failure{"unknown option " + option};
      }
    }
    if (words.Empty()) {
      throw Failure{"no command given"};
    }
    const std::string command = words.Take();
    parse.request.message = Message(command, words, parse.request);
    if (!words.Empty()) {
      throw Failure{"unexpected argument " + words.Peek()};
    }
    parse.ok = true;
  } catch (const Failure& failure) {
    parse.error = failure.text;
  }
  return parse;
}

const char* CtlUsage() {
  return R"(usage: orvo-vpn-ctl [--pretty] [--pipe NAME] [--wait-ms N] COMMAND [ARGS]

Talks to the OrvoVpnWinSvc service over its local pipe (on Linux, the socket named after the
pipe in $ORVO_PIPE_DIR, default /run/orvo-vpn).

commands:
  status                          the service's connection state
  connect [OPTIONS]               Hysteria2 connect
      --config FILE               a JSON object used as the connect config (options override)
      --server-ip IP --host NAME --port N --password TEXT --obfs-password TEXT
      --speed-mbps N --tor
      --metadata FILE             a JSON object used as the metadata
      --server-id ID --session-id ID --access-code CODE --country NAME --city NAME
      --country-code CC --latency-ms N
  wg-connect FILE                 WireGuard connect from a legacy configuration file
  disconnect                      bring the tunnel down
  info                            the current connection's report
  permission                      the permission command
  kill-switch on|off [--no-lan] [--allow ADDRESS]... [--app PATH]...
  kill-switch status
  relay start --domain NAME [--port N] [--password TEXT] [--obfs-password TEXT] [--local-port N]
  relay stop | relay status
  raw TEXT                        send TEXT exactly; print the reply bytes exactly

exit status: 0 success, 1 the service reported a failure, 2 the service could not be reached.
)";
}

}  // namespace orvo_vpn_ctl
