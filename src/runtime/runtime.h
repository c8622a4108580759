#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "ipc/request_records.h"
#include "killswitch/kill_switch_config.h"
#include "platform/dynamic_library.h"
#include "platform/ip_helper.h"
#include "platform/udp_socket.h"
#include "runtime/connection_info.h"
#include "runtime/packet_threads.h"
#include "runtime/runtime_facilities.h"
#include "runtime/tunnel_library_loader.h"
#include "runtime/tunnel_library_tables.h"

namespace orvo_vpn_win_svc {

// The one object of the service that owns a VPN connection: its state, the record the user
// interface is shown, and every handle of whichever tunnel runs (the in-process WireGuard tunnel,
// or the sing-box child that carries Hysteria2). Also keeps the user's kill-switch settings.
//
// Lock discipline: mutex_ guards the state text, the state number, the connection record, the
// kill-switch settings and the TUN interface's LUID. It is held only to copy or assign them, never
// across a call into the system, the sing-box wrapper or the WFP manager.
class Runtime {
 public:
  // On the real system, with the process-wide sing-box wrapper and WFP manager.
  Runtime();
  explicit Runtime(RuntimeFacilities facilities);
  // Disconnects (also when that was done already).
  ~Runtime();
  Runtime(const Runtime&) = delete;
  Runtime& operator=(const Runtime&) = delete;

  // Starts the socket library and looks for sing-box in `service_dir`; false only when the socket
  // library cannot be started.
  bool Initialize(const std::wstring& service_dir);

  // The in-process WireGuard tunnel: adapter, address, routes, socket and packet threads.
  bool Connect(const ConnectRequest& request, std::string& error);

  // The Hysteria2 tunnel through a sing-box child, directly or carried over Tor.
  bool ConnectHysteria2(const Hysteria2ConnectRequest& request, std::string& error);
  bool ConnectHysteria2Tor(const Hysteria2ConnectRequest& request, std::string& error);

  // Ends whichever tunnel is up; never fails.
  void Disconnect();
  // From any thread, when the service stops: a Hysteria2 connect in progress stops waiting and
  // retrying and fails soon, so the stop need not wait for all its attempts.
  void AbandonConnect();

  ConnectionInfo GetConnectionInfo() const;
  std::string GetState() const;
  void SetServerMetadata(const ConnectionMetadata& metadata);

  // The kill switch: settings kept here, filters in the WFP manager.
  void UpdateKillSwitchSettings(const KillSwitchRequest& request);
  bool EnableKillSwitch();
  bool DisableKillSwitch();
  bool IsKillSwitchEnabled() const;

 private:
  // What tells ConnectHysteria2 and ConnectHysteria2Tor apart.
  struct Hysteria2Variant;

  bool ConnectHysteria2Variant(const Hysteria2ConnectRequest& request, std::string& error,
                               const Hysteria2Variant& variant);
  bool ResolveServerAddress(const std::string& host, std::string& address, std::string& error);
  bool StartSingboxWithRetries(const std::string& config, std::string& error);
  bool WaitForTunUp(std::string& error);

  // The steps of Connect after the libraries: adapter and session, address and MTU, the server,
  // the socket, the routes, the tunnel object and the packet threads. Each puts what it made
  // into the runtime's fields and, on failure, the failure code into `error`.
  bool OpenAdapterAndSession(std::string& error);
  void AddAdapterAddressAndMtu(uint32_t assigned_ipv4, uint32_t mtu);
  bool ResolveWireGuardServer(const ConnectRequest& request, platform::IpAddress& server,
                              uint16_t& port, std::string& error);
  void AddServerHostRoute(const platform::IpAddress& server);
  void AddAllowedNetworkRoutes(const std::vector<std::string>& allowed_ips);
  bool StartPacketThreads(const ConnectRequest& request, std::string& error);

  // Whole milliseconds since `start` on the monotonic clock, for the "[%lldms]" lines.
  long long ElapsedMs(std::chrono::steady_clock::time_point start) const;
  // Sets the state number, the record's number and the state text together.
  void SetStatus(ConnectionStatus status);
  void SetTunLuid(platform::InterfaceLuid luid);
  void ForgetTunLuid();
  // On the wrapper's reader thread: the tunnel's sing-box child ended by itself. A tunnel that
  // was reported up is reported invalid; the IPv6 block and the kill switch stay as they are.
  void TunnelChildEnded(uint32_t exit_code);

  // Releases everything the WireGuard connect set up, in the order the packet threads need:
  // clear running, close the socket (waking the receive thread), join the threads, then free
  // the tunnel object, end the session, remove the adapter, its routes and its address. The
  // libraries, luid and server_ipv4 stay.
  void ReleaseWireGuardTunnel();

  // The kill switch for the current server, tunnel interface and settings.
  KillSwitchConfig CurrentKillSwitchConfig() const;
  // While the kill switch is enabled, re-applies it so its permits follow the connection;
  // `occasion` names what changed ("connect", "failed connect", "disconnect").
  void RefreshKillSwitch(const char* occasion);

  RuntimeFacilities facilities_;

  // Guarded by mutex_.
  std::string state_;
  ConnectionStatus status_ = ConnectionStatus::Disconnected;
  ConnectionInfo info_;
  mutable std::mutex mutex_;

  bool singbox_available_ = false;

  // The WireGuard tunnel (set up by Connect, released by Disconnect).
  WireGuardTunnel tunnel_ = nullptr;
  WintunAdapterHandle adapter_ = nullptr;
  WintunSessionHandle session_ = nullptr;
  std::unique_ptr<platform::UdpSocket> socket_;  // none: no socket
  std::atomic<bool> running_{false};
  std::atomic<bool> connect_abandoned_{false};
  std::unique_ptr<PacketThreads> threads_;
  bool address_added_ = false;
  platform::UnicastAddressRow address_row_;
  std::vector<platform::ForwardRow> routes_;  // in creation order
  // Loaded by the first connect that needs them; handed to the process when the runtime goes, so
  // they stay loaded for the life of the process.
  LoadedTunnelLibrary<WintunFunctions> wintun_;
  LoadedTunnelLibrary<BoringtunFunctions> boringtun_;
  platform::InterfaceLuid luid_ = 0;
  platform::IpAddress server_ipv4_;  // IPv4
  bool server_ipv4_valid_ = false;
  std::string server_ipv4_text_;  // server_ipv4_ as a dotted literal

  std::wstring service_dir_;

  // Guarded by mutex_: the sing-box TUN interface, once the TUN check found it, and the
  // WireGuard adapter while that tunnel is up; the kill switch permits the tunnel's interface.
  platform::InterfaceLuid tun_luid_ = 0;
  bool tun_luid_valid_ = false;
  std::optional<platform::InterfaceLuid> wireguard_luid_;
  std::string wireguard_server_;  // the WireGuard server's address while that tunnel is up

  // Guarded by mutex_: the kill-switch settings.
  bool allow_lan_ = true;
  std::vector<std::string> allowlist_;
  std::vector<std::wstring> permitted_apps_;
};

}  // namespace orvo_vpn_win_svc
