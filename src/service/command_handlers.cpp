#include "service/command_handlers.h"

#include "platform/log.h"
#include "platform/text_encoding.h"
#include "service/connection_report.h"

namespace orvo_vpn_win_svc {

CommandHandlers::CommandHandlers(RunMode mode, RuntimeLookup runtime, ConnectionStore store,
                                 RelayLookup relay)
    : mode_(mode),
      runtime_(std::move(runtime)),
      store_(std::move(store)),
      relay_(std::move(relay)) {}

void CommandHandlers::Bind(IpcServer& server) {
  server.connect_handler = [this](const ConnectRequest& request) {
    return WireGuardConnect(request);
  };
  server.disconnect_handler = [this] { Disconnect(); };
  server.permission_handler = [this] { Permission(); };
  server.status_handler = [this] { return Status(); };
  server.hysteria2_connect_handler = [this](const Hysteria2ConnectRequest& request,
                                            std::string& error) {
    return Hysteria2Connect(request, error);
  };
  server.connection_info_handler = [this] { return ConnectionReport(); };
  server.kill_switch_handler = [this](const KillSwitchRequest& request) { KillSwitch(request); };
  server.kill_switch_status_handler = [this] { return KillSwitchStatus(); };
  server.start_relay_proxy_handler = [this](const RelayProxyRequest& request, std::string& error) {
    return StartRelayProxy(request, error);
  };
  server.stop_relay_proxy_handler = [this] { StopRelayProxy(); };
  server.relay_proxy_running_handler = [this] { return RelayProxyRunning(); };
}

void CommandHandlers::Debug(const std::wstring& text) const {
  DebugLine((Console() ? L"ORVO_SVC: (console) " : L"ORVO_SVC: (service) ") + text);
}

bool CommandHandlers::WireGuardConnect(const ConnectRequest& request) {
  Debug(L"legacy connect requested\n");
  const ConnectRequest copy = request;
  std::string error;
  Runtime* runtime = runtime_();
  const bool connected = runtime != nullptr && runtime->Connect(copy, error);
  if (Console()) {
    Debug(connected ? L"Connect ok\n" : L"Connect failed: " + WidenBytes(error) + L"\n");
  }
  return connected;
}

bool CommandHandlers::Hysteria2Connect(const Hysteria2ConnectRequest& request, std::string& error) {
  Debug(L"Hysteria2 connect requested\n");
  Runtime* runtime = runtime_();
  if (runtime == nullptr) {
    error = "runtime_not_initialized";
    Debug(L"Hysteria2 connect failed: " + WidenBytes(error) + L"\n");
    return false;
  }
  runtime->SetServerMetadata(request.metadata);
  const bool connected = request.use_tor ? runtime->ConnectHysteria2Tor(request, error)
                                         : runtime->ConnectHysteria2(request, error);
  if (!connected) {
    Debug(L"Hysteria2 connect failed: " + WidenBytes(error) + L"\n");
    return false;
  }
  Debug(L"Hysteria2 connect ok\n");
  // A tunnel lost as the connect finished is not saved as up.
  if (const ConnectionInfo info = runtime->GetConnectionInfo();
      info.status == ConnectionStatus::Connected) {
    store_.Save(info);
  }
  return true;
}

void CommandHandlers::Disconnect() {
  Debug(L"disconnect requested\n");
  if (Runtime* runtime = runtime_()) {
    runtime->Disconnect();
  }
  store_.Clear();
}

void CommandHandlers::Permission() {
  Debug(L"permission requested\n");
}

std::string CommandHandlers::Status() {
  Runtime* runtime = runtime_();
  return runtime != nullptr ? runtime->GetState() : "disconnected";
}

std::string CommandHandlers::ConnectionReport() {
  Runtime* runtime = runtime_();
  if (runtime == nullptr) {
    return BuildConnectionReport(nullptr);
  }
  const ConnectionInfo info = runtime->GetConnectionInfo();
  if (info.status != ConnectionStatus::Connected) {
    store_.Clear();
  }
  return BuildConnectionReport(&info);
}

void CommandHandlers::KillSwitch(const KillSwitchRequest& request) {
  Debug(L"kill switch settings updated\n");
  if (Console()) {
    LogLine("ORVO_SVC: Kill switch request - enabled=%d, allow_lan=%d\n", request.enabled ? 1 : 0,
            request.allow_lan ? 1 : 0);
  }
  Runtime* runtime = runtime_();
  if (runtime == nullptr) {
    return;
  }
  const KillSwitchRequest copy = request;
  runtime->UpdateKillSwitchSettings(copy);
  if (Console()) {
    LogLine("ORVO_SVC: Kill switch - permitted_apps=%zu\n", copy.permitted_apps.size());
  }
  if (copy.enabled) {
    if (Console()) {
      LogLine("ORVO_SVC: Enabling kill switch immediately\n");
    }
    if (!runtime->EnableKillSwitch()) {
      if (Console()) {
        LogLine("ORVO_SVC: Failed to enable kill switch\n");
      } else {
        Debug(L"Failed to enable kill switch\n");
      }
    }
    return;
  }
  if (Console()) {
    LogLine("ORVO_SVC: Disabling kill switch immediately\n");
  }
  runtime->DisableKillSwitch();
}

bool CommandHandlers::KillSwitchStatus() {
  Runtime* runtime = runtime_();
  return runtime != nullptr && runtime->IsKillSwitchEnabled();
}

bool CommandHandlers::StartRelayProxy(const RelayProxyRequest& request, std::string& error) {
  Debug(L"start_relay_proxy requested\n");
  if (Console()) {
    LogLine("ORVO_SVC: Starting relay proxy to %s:%d\n", request.relay_domain.c_str(),
            request.relay_port);
  }
  return relay_().Start(request, error);
}

void CommandHandlers::StopRelayProxy() {
  Debug(L"stop_relay_proxy requested\n");
  relay_().Stop();
}

bool CommandHandlers::RelayProxyRunning() {
  return relay_().IsRunning();
}

}  // namespace orvo_vpn_win_svc
