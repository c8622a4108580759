#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <set>
#include <string>

#include "fakes/fake_udp_socket.h"
#include "fakes/fake_wintun_session.h"
#include "fakes/fake_wireguard_library.h"
#include "platform/udp_socket.h"
#include "runtime/tunnel_library_loader.h"

namespace orvo_test {

// wintun.dll and boringtun.dll as the WireGuard connect loads them, and the UDP socket it
// opens, in memory. The adapter calls, the tunnel object's creation and release, the library
// loads and the socket are recorded as lines of text ("load wintun.dll",
// "OpenAdapter ORVO VPN", "StartSession 4194304", "new_tunnel <private> <public> 25 0",
// "socket 203.0.113.7:51820", "EndSession"...). The packet functions are those of
// FakeWintunSession and FakeWireGuard, whose objects serve as session and tunnel. One object
// at a time: the C entry points find it through a process-wide pointer.
class FakeTunnelLibraries {
 public:
  static constexpr uint64_t kAdapterLuid = 0x0035000000000009;
  static constexpr uint32_t kAdapterError = 1168;  // ERROR_NOT_FOUND

  FakeTunnelLibraries();
  ~FakeTunnelLibraries();
  FakeTunnelLibraries(const FakeTunnelLibraries&) = delete;
  FakeTunnelLibraries& operator=(const FakeTunnelLibraries&) = delete;

  // What the fakes do; all succeed unless told otherwise.
  std::set<std::wstring> unloadable;  // file names whose load fails (error 126)
  std::set<std::string> missing;      // entry points the libraries lack
  bool adapter_exists = false;        // OpenAdapter finds "ORVO VPN"
  bool create_fails = false;
  bool session_fails = false;
  bool tunnel_fails = false;  // new_tunnel gives null
  orvo_vpn_win_svc::platform::UdpSocketOpening::Step socket_fails =
      orvo_vpn_win_svc::platform::UdpSocketOpening::Step::kNone;

  // The runtime's facilities for these libraries.
  orvo_vpn_win_svc::LibraryLoader Loader();
  uint32_t LastError() const;
  orvo_vpn_win_svc::platform::UdpSocketOpening OpenSocket(
      const orvo_vpn_win_svc::platform::IpAddress& server, uint16_t port);

  std::string TakeCalls();
  // The socket opened last, while the runtime holds it.
  FakeUdpSocket* Socket() const;
  bool AdapterOpen() const;

  FakeWintunSession session;
  FakeWireGuard wireguard;

 private:
  void Record(const std::string& line);

  static void* OpenAdapter(const wchar_t* name);
  static void* CreateAdapter(const wchar_t* name, const wchar_t* type, const void* guid);
  static void CloseAdapter(void* adapter);
  static int DeleteAdapter(void* adapter);
  static void* StartSession(void* adapter, uint32_t capacity);
  static void EndSession(void* session);
  static void GetAdapterLuid(void* adapter, uint64_t* luid);
  static void* NewTunnel(const char* private_key, const char* public_key, const char* preshared,
                         uint16_t keep_alive, uint32_t index);
  static void TunnelFree(void* tunnel);

  mutable std::mutex mutex_;
  std::string calls_;
  bool adapter_open_ = false;
  uint32_t last_error_ = 0;
  FakeUdpSocket* socket_ = nullptr;
};

}  // namespace orvo_test
