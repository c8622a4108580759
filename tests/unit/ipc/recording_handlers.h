#pragma once

#include <stdexcept>
#include <string>
#include <vector>

#include "ipc/ipc_server.h"

namespace orvo_test {

// Fills every handler slot of an IpcServer with a handler that records what it was given and
// answers with the results configured here, so tests see both sides of the dispatcher.
struct RecordingHandlers {
  // Names of the slots called, in order.
  std::vector<std::string> calls;
  std::vector<orvo_vpn_win_svc::ConnectRequest> legacy_connects;
  std::vector<orvo_vpn_win_svc::Hysteria2ConnectRequest> connects;
  std::vector<orvo_vpn_win_svc::KillSwitchRequest> kill_switches;
  std::vector<orvo_vpn_win_svc::RelayProxyRequest> relays;

  bool legacy_connect_result = true;
  bool connect_result = true;
  std::string connect_error;  // written to the error string whatever the result
  std::string status = "connected";
  std::string connection_info = R"({"data":{"state":"connected"},"success":true})";
  bool kill_switch_enabled = true;
  bool relay_start_result = true;
  std::string relay_error;
  bool relay_running = true;
  // When not empty, the connect and relay handlers throw std::runtime_error with this text.
  std::string throw_text;

  void Install(orvo_vpn_win_svc::IpcServer& server) {
    using namespace orvo_vpn_win_svc;
    server.connect_handler = [this](const ConnectRequest& request) {
      calls.push_back("connect");
      legacy_connects.push_back(request);
      return legacy_connect_result;
    };
    server.disconnect_handler = [this] { calls.push_back("disconnect"); };
    server.permission_handler = [this] { calls.push_back("permission"); };
    server.status_handler = [this] {
      calls.push_back("status");
      return status;
    };
    server.hysteria2_connect_handler = [this](const Hysteria2ConnectRequest& request,
                                              std::string& error) {
      calls.push_back("hysteria2_connect");
      connects.push_back(request);
      ThrowIfAsked();
      error = connect_error;
      return connect_result;
    };
    server.connection_info_handler = [this] {
      calls.push_back("connection_info");
      return connection_info;
    };
    server.kill_switch_handler = [this](const KillSwitchRequest& request) {
      calls.push_back("kill_switch");
      kill_switches.push_back(request);
    };
    server.kill_switch_status_handler = [this] {
      calls.push_back("kill_switch_status");
      return kill_switch_enabled;
    };
    server.start_relay_proxy_handler = [this](const RelayProxyRequest& request,
                                              std::string& error) {
      calls.push_back("start_relay_proxy");
      relays.push_back(request);
      ThrowIfAsked();
      error = relay_error;
      return relay_start_result;
    };
    server.stop_relay_proxy_handler = [this] { calls.push_back("stop_relay_proxy"); };
    server.relay_proxy_running_handler = [this] {
      calls.push_back("relay_proxy_running");
      return relay_running;
    };
  }

 private:
  void ThrowIfAsked() const {
    if (!throw_text.empty()) {
      throw std::runtime_error(throw_text);
    }
  }
};

}  // namespace orvo_test
