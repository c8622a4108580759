#pragma once

#include <stdexcept>
#include <string>

#include "ipc/ipc_server.h"
#include "platform/text_encoding.h"
#include "support/case_file.h"

namespace orvo_test {

// Fills every handler slot of an IpcServer with one that writes a line naming the slot and the
// record it was given, and answers with the results a table case sets (by the field names below).
struct RecordingHandlers {
  std::string calls;
  std::string records;

  explicit RecordingHandlers(const TextCase& c) : c_(c) {}

  void Install(orvo_vpn_win_svc::IpcServer& server) {
    using namespace orvo_vpn_win_svc;
    server.connect_handler = [this](const ConnectRequest& r) {
      Call("connect", "endpoint=<" + r.serverEndpoint + "> public=<" + r.serverPublicKey +
                          "> private=<" + r.privateKey + "> ip=<" + r.assignedIp + "> dns=" +
                          List(r.dnsServers) + " allowed=" + List(r.allowedIps) +
                          " mtu=" + std::to_string(r.mtu));
      return c_["legacy_connect_result"] != "false";
    };
    server.disconnect_handler = [this] { Call("disconnect"); };
    server.permission_handler = [this] { Call("permission"); };
    server.status_handler = [this] {
      Call("status");
      return c_.Has("status") ? c_["status"] : "connecting";
    };
    server.hysteria2_connect_handler = [this](const Hysteria2ConnectRequest& r,
                                              std::string& error) {
      const ConnectionMetadata& m = r.metadata;
      Call("hysteria2_connect",
           "server_ip='" + r.server_ip + "' server_domain='" + r.server_domain +
               "' port=" + std::to_string(r.port) + " password='" + r.password +
               "' obfs_password=" + (r.obfs_password ? "'" + *r.obfs_password + "'" : "absent") +
               " speed_mbps=" + (r.speed_mbps ? std::to_string(*r.speed_mbps) : "absent") +
               " use_tor=" + Flag(r.use_tor) + " | server_id='" + m.server_id +
               "' session_id='" + m.session_id + "' access_code='" + m.access_code +
               "' country='" + m.server_country + "' city='" + m.server_city +
               "' country_code='" + m.server_country_code +
               "' latency_ms=" + std::to_string(m.server_latency_ms) + " use_tor=" + Flag(m.use_tor));
      error = c_["connect_error"];
      return c_["connect_result"] != "false";
    };
    server.connection_info_handler = [this] {
      Call("connection_info");
      return c_["connection_info"];
    };
    server.kill_switch_handler = [this](const KillSwitchRequest& r) {
      std::vector<std::string> apps;
      for (const std::wstring& app : r.permitted_apps) {
        apps.push_back(orvo_vpn_win_svc::WideToUtf8(app));
      }
      Call("kill_switch", "enabled=" + Flag(r.enabled) + " allow_lan=" + Flag(r.allow_lan) +
                              " allowlist=" + List(r.allowlist) + " apps=" + List(apps));
    };
    server.kill_switch_status_handler = [this] {
      Call("kill_switch_status");
      return c_["kill_switch_enabled"] != "false";
    };
    server.start_relay_proxy_handler = [this](const RelayProxyRequest& r, std::string& error) {
      Call("start_relay_proxy", "relay_domain='" + r.relay_domain +
                                    "' relay_port=" + std::to_string(r.relay_port) +
                                    " password='" + r.password + "' obfs_password='" +
                                    r.obfs_password + "' local_port=" +
                                    std::to_string(r.local_port));
      error = c_["relay_error"];
      return c_["relay_start_result"] != "false";
    };
    server.stop_relay_proxy_handler = [this] { Call("stop_relay_proxy"); };
    server.relay_proxy_running_handler = [this] {
      Call("relay_proxy_running");
      return c_["relay_running"] != "false";
    };
  }

 private:
  static std::string Flag(bool value) { return value ? "true" : "false"; }
  static std::string List(const std::vector<std::string>& items) {
    std::string joined;
    for (const std::string& item : items) {
      joined += (joined.empty() ? "<" : ",<") + item + ">";
    }
    return "[" + joined + "]";
  }
  // A handler that throws fails its command only; the table says which slot throws what.
  void Call(const std::string& slot, const std::string& record = "") {
    calls += (calls.empty() ? "" : " ") + slot;
    if (!record.empty()) {
      records += record + "\n";
    }
    if (c_.Has("throw") && (c_["throw_in"].empty() || c_["throw_in"] == slot)) {
      throw std::runtime_error(c_["throw"]);
    }
  }

  const TextCase& c_;
};

}  // namespace orvo_test
