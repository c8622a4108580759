#include "ipc/command_dispatcher.h"

#include <array>
#include <exception>
#include <string_view>

#include <nlohmann/json.hpp>

#include "ipc/command_replies.h"
#include "ipc/ipc_server.h"
#include "ipc/request_parsers.h"

namespace orvo_vpn_win_svc {
namespace {

using Json = nlohmann::json;

// Each command takes the server (for its handler slots) and the parsed request, and returns the
// serialised reply. Anything they throw becomes the parse-error reply.
using Command = std::string (*)(IpcServer& server, const Json& request);

std::string Connect(IpcServer& server, const Json& request) {
  const Hysteria2ConnectRequest connect = ParseHysteria2ConnectRequest(request);
  std::string error;
  const bool connected =
      server.hysteria2_connect_handler && server.hysteria2_connect_handler(connect, error);
  if (connected) {
    // A success always carries an empty error, whatever the handler left in it.
    return SerializeReply(Json{{"error", ""}, {"success", true}});
  }
  return FailureReply(error);
}

std::string Disconnect(IpcServer& server, const Json&) {
  if (server.disconnect_handler) {
    server.disconnect_handler();
  }
  return PlainSuccessReply();
}

std::string Status(IpcServer& server, const Json&) {
  const std::string status = server.status_handler ? server.status_handler() : "disconnected";
  return SerializeReply(Json{{"data", {{"status", status}}}, {"success", true}});
}

std::string GetConnectionInfo(IpcServer& server, const Json&) {
  if (!server.connection_info_handler) {
    return FailureReply("handler_not_set");
  }
  // The handler builds the complete reply itself.
  return server.connection_info_handler();
}

std::string Permission(IpcServer& server, const Json&) {
  if (server.permission_handler) {
    server.permission_handler();
  }
  return PlainSuccessReply();
}

std::string SetKillSwitch(IpcServer& server, const Json& request) {
  const KillSwitchRequest settings = ParseKillSwitchRequest(request);
  if (server.kill_switch_handler) {
    server.kill_switch_handler(settings);
  }
  // What the kill switch then achieves is reported by "get_kill_switch_status".
  return PlainSuccessReply();
}

std::string GetKillSwitchStatus(IpcServer& server, const Json&) {
  const bool enabled = server.kill_switch_status_handler && server.kill_switch_status_handler();
  return SerializeReply(Json{{"data", {{"enabled", enabled}}}, {"success", true}});
}

std::string StartRelayProxy(IpcServer& server, const Json& request) {
  if (!request.contains("config")) {
    return FailureReply("missing config");
  }
  const RelayProxyRequest relay = ParseRelayProxyRequest(request.at("config"));
  std::string error;
  if (server.start_relay_proxy_handler && server.start_relay_proxy_handler(relay, error)) {
    return PlainSuccessReply();
  }
  return FailureReply(error);
}

std::string StopRelayProxy(IpcServer& server, const Json&) {
  if (server.stop_relay_proxy_handler) {
    server.stop_relay_proxy_handler();
  }
  return PlainSuccessReply();
}

std::string IsRelayProxyRunning(IpcServer& server, const Json&) {
  const bool running = server.relay_proxy_running_handler && server.relay_proxy_running_handler();
  return SerializeReply(Json{{"running", running}, {"success", true}});
}

struct CommandEntry {
  std::string_view name;
  Command run;
};

// Matched whole and case-sensitively, in this order.
constexpr std::array<CommandEntry, 10> kCommands{{
    {"connect", Connect},
    {"disconnect", Disconnect},
    {"status", Status},
    {"get_connection_info", GetConnectionInfo},
    {"permission", Permission},
    {"set_kill_switch", SetKillSwitch},
    {"get_kill_switch_status", GetKillSwitchStatus},
    {"start_relay_proxy", StartRelayProxy},
    {"stop_relay_proxy", StopRelayProxy},
    {"is_relay_proxy_running", IsRelayProxyRunning},
}};

}  // namespace

std::string DispatchJsonCommand(IpcServer& server, const std::string& request) {
  try {
    constexpr bool kThrowOnError = true;
    constexpr bool kIgnoreComments = false;
    const Json document = Json::parse(request, nullptr, kThrowOnError, kIgnoreComments);
    const std::string command = document.value("cmd", std::string());
    for (const CommandEntry& entry : kCommands) {
      if (entry.name == command) {
        return entry.run(server, document);
      }
    }
    return FailureReply("unknown_command");
  } catch (const std::exception& error) {
    // Syntax errors, members of the wrong type, replies that cannot be serialised and whatever
    // a handler throws all end here; the listener always gets a reply to send.
    return ParseErrorReply(error.what());
  }
}

}  // namespace orvo_vpn_win_svc
