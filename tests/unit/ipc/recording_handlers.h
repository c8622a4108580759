#pragma once

#include <stdexcept>
#include <string>

#include "ipc/ipc_server.h"
#include "platform/text_encoding.h"
#include "support/case_file.h"

namespace orvo_test {

// Fills every handler slot of an IpcServer with one that writes a line naming the slot and the
// record it was given, and answers with what a table case says under the slot's name: a text, or
// for a yes/no slot anything but "false" (texts handed back through an error: connect_error,
// relay_error). Every slot throws the case's "throw" text when it has one.
struct RecordingHandlers {
  std::string calls;
  std::string records;

  explicit RecordingHandlers(const TextCase& c) : c_(c) {}

  void Install(orvo_vpn_win_svc::IpcServer& server) {
    using namespace orvo_vpn_win_svc;
    server.connect_handler = [this](const ConnectRequest& r) {
      return Call("connect", "endpoint=<" + r.serverEndpoint + "> public=<" + r.serverPublicKey +
                                 "> private=<" + r.privateKey + "> ip=<" + r.assignedIp +
                                 "> dns=" + List(r.dnsServers) + " allowed=" + List(r.allowedIps) +
                                 " mtu=" + std::to_string(r.mtu)) != "false";
    };
    server.disconnect_handler = [this] { Call("disconnect"); };
    server.permission_handler = [this] { Call("permission"); };
    server.status_handler = [this] { return Call("status"); };
    server.hysteria2_connect_handler = [this](const Hysteria2ConnectRequest& r,
                                              std::string& error) {
      const ConnectionMetadata& m = r.metadata;
      error = c_["connect_error"];
      return Call("hysteria2_connect",
                  "server_ip='" + r.server_ip + "' server_domain='" + r.server_domain + "' port=" +
                      std::to_string(r.port) + " password='" + r.password + "' obfs_password=" +
                      (r.obfs_password ? "'" + *r.obfs_password + "'" : "absent") +
                      " speed_mbps=" + (r.speed_mbps ? std::to_string(*r.speed_mbps) : "absent") +
                      " use_tor=" + Flag(r.use_tor) + " | server_id='" + m.server_id +
                      "' session_id='" + m.session_id + "' access_code='" + m.access_code +
                      "' country='" + m.server_country + "' city='" + m.server_city +
                      "' country_code='" + m.server_country_code +
                      "' latency_ms=" + std::to_string(m.server_latency_ms) +
                      " use_tor=" + Flag(m.use_tor)) != "false";
    };
    server.connection_info_handler = [this] { return Call("connection_info"); };
    server.kill_switch_handler = [this](const KillSwitchRequest& r) {
      std::vector<std::string> apps;
      for (const std::wstring& app : r.permitted_apps) {
        apps.push_back(orvo_vpn_win_svc::WideToUtf8(app));
      }
      Call("kill_switch", "enabled=" + Flag(r.enabled) + " allow_lan=" + Flag(r.allow_lan) +
                              " allowlist=" + List(r.allowlist) + " apps=" + List(apps));
    };
    server.kill_switch_status_handler = [this] { return Call("kill_switch_status") != "false"; };
    server.start_relay_proxy_handler = [this](const RelayProxyRequest& r, std::string& error) {
      error = c_["relay_error"];
      return Call("start_relay_proxy",
                  "relay_domain='" + r.relay_domain +
                      "' relay_port=" + std::to_string(r.relay_port) + " password='" + r.password +
                      "' obfs_password='" + r.obfs_password +
                      "' local_port=" + std::to_string(r.local_port)) != "false";
    };
    server.stop_relay_proxy_handler = [this] { Call("stop_relay_proxy"); };
    server.relay_proxy_running_handler = [this] { return Call("relay_proxy_running") != "false"; };
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
  // A handler that throws fails its command only.
  std::string Call(const std::string& slot, const std::string& record = "") {
    calls += (calls.empty() ? "" : " ") + slot;
    records += record.empty() ? "" : record + "\n";
    if (c_.Has("throw")) {
      throw std::runtime_error(c_["throw"]);
    }
    return c_[slot];
  }

  const TextCase& c_;
};

}  // namespace orvo_test
