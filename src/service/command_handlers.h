#pragma once

#include <functional>
#include <string>

#include "ipc/ipc_server.h"
#include "relay/relay_proxy.h"
#include "runtime/runtime.h"
#include "store/connection_store.h"

namespace orvo_vpn_win_svc {

enum class RunMode { kConsole, kService };

// The eleven command handlers of one run mode: the glue between the pipe's handler slots and the
// runtime, the relay proxy and the connection store. The two modes do the same work and differ
// in the lines they log.
class CommandHandlers {
 public:
  // Where a handler finds the runtime at each call; null when there is none.
  using RuntimeLookup = std::function<Runtime*()>;

  // Where a handler finds the relay proxy: RelayProxy::Instance, which makes it on first use.
  using RelayLookup = std::function<RelayProxy&()>;

  CommandHandlers(RunMode mode, RuntimeLookup runtime, ConnectionStore store, RelayLookup relay);

  // Fills the eleven slots of `server`; the handlers refer to this object, which must outlive
  // the server's listener.
  void Bind(IpcServer& server);

  bool WireGuardConnect(const ConnectRequest& request);
  bool Hysteria2Connect(const Hysteria2ConnectRequest& request, std::string& error);
  void Disconnect();
  void Permission();
  std::string Status();
  std::string ConnectionReport();
  void KillSwitch(const KillSwitchRequest& request);
  bool KillSwitchStatus();
  bool StartRelayProxy(const RelayProxyRequest& request, std::string& error);
  void StopRelayProxy();
  bool RelayProxyRunning();

 private:
  // A debugger line "ORVO_SVC: (console) <text>" or "ORVO_SVC: (service) <text>".
  void Debug(const std::wstring& text) const;
  bool Console() const { return mode_ == RunMode::kConsole; }

  RunMode mode_;
  RuntimeLookup runtime_;
  ConnectionStore store_;
  RelayLookup relay_;
};

}  // namespace orvo_vpn_win_svc
