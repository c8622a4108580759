#include "runtime/runtime.h"

#include <utility>

#include "platform/log.h"
#include "platform/text_encoding.h"
#include "singbox/cleanup_wintun_adapters.h"

namespace orvo_vpn_win_svc {
namespace {

const char* StateText(ConnectionStatus status) {
  switch (status) {
    case ConnectionStatus::Disconnected:
      return "disconnected";
    case ConnectionStatus::Connecting:
      return "connecting";
    case ConnectionStatus::Connected:
      return "connected";
    case ConnectionStatus::Disconnecting:
      return "disconnecting";
    case ConnectionStatus::Invalid:
      break;
  }
  return "invalid";
}

}  // namespace

Runtime::Runtime() : Runtime(RuntimeFacilities::System()) {}

Runtime::Runtime(RuntimeFacilities facilities)
    : facilities_(std::move(facilities)), state_(StateText(ConnectionStatus::Disconnected)) {
  // A manager that cannot initialise (no administrator rights) still leaves a working runtime;
  // the kill switch then reports its failure when it is used.
  facilities_.wfp.Initialize();
  facilities_.singbox.SetEndedByItselfHandler(
      this, [this](uint32_t exit_code) { TunnelChildEnded(exit_code); });
}

Runtime::~Runtime() {
  Disconnect();
  // Waits for a report in progress: none reaches this runtime once it has gone.
  facilities_.singbox.ClearEndedByItselfHandler(this);
  // The packet threads have been joined; the libraries themselves stay for the process.
  KeepLoadedForProcess(std::move(wintun_.library));
  KeepLoadedForProcess(std::move(boringtun_.library));
}

bool Runtime::Initialize(const std::wstring& service_dir) {
  service_dir_ = service_dir;
  if (!facilities_.start_socket_library()) {
    DebugLine(L"ORVO_SVC: WSAStartup failed\n");
    return false;
  }
  LogLine("ORVO_SVC: Initializing singbox from: %s\n", WideToUtf8(service_dir).c_str());
  if (facilities_.singbox.Initialize(service_dir)) {
    singbox_available_ = true;
    const std::string version = facilities_.singbox.GetVersion();
    LogLine("ORVO_SVC: sing-box.exe initialized, version: %s\n", version.c_str());
    DebugLineNarrow("ORVO_SVC: sing-box.exe initialized, version: " + version + "\n");
  } else {
    LogLine("ORVO_SVC: sing-box.exe not found, Hysteria2 disabled\n");
    DebugLine(L"ORVO_SVC: sing-box.exe not found, Hysteria2 disabled\n");
  }
  return true;
}

void Runtime::Disconnect() {
  SetStatus(ConnectionStatus::Disconnecting);
  running_.store(false);

  facilities_.wfp.UnblockIPv6();
  DebugLine(L"ORVO_SVC: IPv6 unblocked on disconnect\n");

  // A child that ended by itself is left to the next start, which releases its handles.
  if (singbox_available_ && facilities_.singbox.RunningFlag()) {
    facilities_.singbox.Stop();
    DebugLine(L"ORVO_SVC: singbox closed\n");
  }

  // Before the runtime's own adapter goes, whichever tunnel was up.
  CleanupWintunAdapters(facilities_.cleanup);
  ForgetTunLuid();

  ReleaseWireGuardTunnel();

  {
    std::lock_guard lock(mutex_);
    info_ = ConnectionInfo{};
  }
  RefreshKillSwitch("disconnect");
  SetStatus(ConnectionStatus::Disconnected);
  DebugLine(L"ORVO_SVC: Disconnected\n");
}

void Runtime::ReleaseWireGuardTunnel() {
  {
    std::lock_guard lock(mutex_);
    wireguard_luid_.reset();
    wireguard_server_.clear();
  }
  running_.store(false);
  if (socket_) {
    socket_->Close();
  }
  // The threads use the socket, the tunnel and the session without a lock: none of them goes
  // before every thread has left its loop.
  if (threads_) {
    threads_->Join();
    threads_.reset();
  }
  socket_.reset();
  if (tunnel_ != nullptr) {
    if (boringtun_.table.tunnel_free != nullptr) {
      boringtun_.table.tunnel_free(tunnel_);
    }
    tunnel_ = nullptr;
  }
  if (session_ != nullptr) {
    if (wintun_.table.EndSession != nullptr) {
      wintun_.table.EndSession(session_);
    }
    session_ = nullptr;
  }
  if (adapter_ != nullptr) {
    if (wintun_.table.DeleteAdapter != nullptr) {
      wintun_.table.DeleteAdapter(adapter_);
    } else if (wintun_.table.CloseAdapter != nullptr) {
      wintun_.table.CloseAdapter(adapter_);
    }
    adapter_ = nullptr;
  }
  for (const platform::ForwardRow& route : routes_) {
    facilities_.ip_helper->DeleteForwardEntry(route);
  }
  routes_.clear();
  if (address_added_) {
    facilities_.ip_helper->DeleteUnicastAddress(address_row_);
    address_added_ = false;
  }
}

ConnectionInfo Runtime::GetConnectionInfo() const {
  std::lock_guard lock(mutex_);
  return info_;
}

std::string Runtime::GetState() const {
  std::lock_guard lock(mutex_);
  return state_;
}

void Runtime::SetServerMetadata(const ConnectionMetadata& metadata) {
  std::lock_guard lock(mutex_);
  info_.server_id = metadata.server_id;
  info_.session_id = metadata.session_id;
  info_.access_code = metadata.access_code;
  info_.server_country = metadata.server_country;
  info_.server_city = metadata.server_city;
  info_.server_country_code = metadata.server_country_code;
  info_.server_latency_ms = metadata.server_latency_ms;
  info_.use_tor = metadata.use_tor;
}

long long Runtime::ElapsedMs(std::chrono::steady_clock::time_point start) const {
  return static_cast<long long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(facilities_.clock.Now() - start)
          .count());
}

void Runtime::SetStatus(ConnectionStatus status) {
  std::lock_guard lock(mutex_);
  status_ = status;
  info_.status = status;
  state_ = StateText(status);
}

void Runtime::SetTunLuid(platform::InterfaceLuid luid) {
  std::lock_guard lock(mutex_);
  tun_luid_ = luid;
  tun_luid_valid_ = true;
}

void Runtime::ForgetTunLuid() {
  std::lock_guard lock(mutex_);
  tun_luid_ = 0;
  tun_luid_valid_ = false;
}

void Runtime::TunnelChildEnded(uint32_t exit_code) {
  {
    std::lock_guard lock(mutex_);
    // During a connect or a disconnect the child's end is that operation's own business.
    if (status_ != ConnectionStatus::Connected) {
      return;
    }
    status_ = ConnectionStatus::Invalid;
    info_.status = status_;
    state_ = StateText(status_);
  }
  LogLine("ORVO_SVC: sing-box exited with code %lu while connected, connection invalid\n",
          static_cast<unsigned long>(exit_code));
  DebugLineFormat("ORVO_SVC: sing-box exited with code %lu while connected\n",
                  static_cast<unsigned long>(exit_code));
}

}  // namespace orvo_vpn_win_svc
