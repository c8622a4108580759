#pragma once

#include <cstdint>
#include <mutex>
#include <set>
#include <string>

#include "fakes/call_recorder.h"
#include "platform/udp_socket.h"
#include "runtime/tunnel_library_loader.h"

namespace orvo_test {

// wintun.dll, boringtun.dll and the UDP socket to the server, in memory, for one test at a time
// (the C entry points find the object through a process-wide pointer), for the refusals no real
// library gives on demand: a library or entry point missing, an adapter, session, tunnel object
// or socket refused. Packets are the real libraries' business (see packet_pump_test.cpp): the
// adapter here never has one, and the protocol answers only the forced handshake.
//
// Calls() records the adapter, tunnel-object, library and socket calls as lines
// ("load wintun.dll", "CreateAdapter ORVO VPN WireGuard no-guid", "StartSession 4194304",
// "socket 203.0.113.7:51820", "tunnel_free"...).
class FakeTunnelLibraries {
 public:
  static constexpr uint64_t kAdapterLuid = 0x0035000000000009;

  FakeTunnelLibraries();
  ~FakeTunnelLibraries();
  FakeTunnelLibraries(const FakeTunnelLibraries&) = delete;
  FakeTunnelLibraries& operator=(const FakeTunnelLibraries&) = delete;

  std::set<std::wstring> unloadable;  // file names whose load fails (error 126)
  std::set<std::string> missing;      // entry points the libraries lack
  bool adapter_exists = false;        // OpenAdapter finds "ORVO VPN"
  bool create_fails = false;
  bool session_fails = false;
  bool tunnel_fails = false;
  orvo_vpn_win_svc::platform::UdpSocketOpening::Step socket_fails = {};

  orvo_vpn_win_svc::LibraryLoader Loader();
  uint32_t LastError() const;
  orvo_vpn_win_svc::platform::UdpSocketOpening OpenSocket(
      const orvo_vpn_win_svc::platform::IpAddress& server, uint16_t port);

  std::string TakeCalls() { return calls_.Take(); }
  // How many datagrams went to the server on the last socket.
  int SentToServer() const;

 private:
  class Socket;

  mutable std::mutex mutex_;
  CallRecorder calls_;
  uint32_t last_error_ = 0;
  int sent_ = 0;
};

}  // namespace orvo_test
