#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "fakes/call_recorder.h"
#include "platform/udp_socket.h"
#include "runtime/tunnel_library_loader.h"
#include "runtime/tunnel_library_tables.h"

namespace orvo_test {

// wintun.dll, boringtun.dll and the UDP socket to the server, in memory, for one test at a time
// (the C entry points find the object through a process-wide pointer).
//
// Calls() records the adapter, tunnel-object, library and socket calls as lines
// ("load wintun.dll", "CreateAdapter ORVO VPN WireGuard no-guid", "StartSession 4194304",
// "socket 203.0.113.7:51820", "tunnel_free"...). Packets() records the protocol calls with their
// buffer sizes ("tick 4096", "force_handshake 65535", "write 3 65535", "read 7 65535").
//
// The protocol answers: force_handshake gives "handshake" (code 1); tick gives `tick_answer`
// (code 1, or code 2 when it begins with 'x') or nothing (code 0) when it is empty; write gives
// "wrapped:" + the packet (code 1), or code 2 for a packet beginning with 'x'; read takes a
// datagram "<code>:<bytes>" and gives that code and those bytes ("L:" claims more bytes than the
// buffer holds). The adapter has no room for a packet of more than 1500 bytes.
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
  std::string tick_answer;

  orvo_vpn_win_svc::LibraryLoader Loader();
  uint32_t LastError() const { return Locked(last_error_); }
  orvo_vpn_win_svc::platform::UdpSocketOpening OpenSocket(
      const orvo_vpn_win_svc::platform::IpAddress& server, uint16_t port);
  static orvo_vpn_win_svc::WintunFunctions Wintun();
  static orvo_vpn_win_svc::BoringtunFunctions Boringtun();
  void* Handle() { return this; }  // the session and the tunnel object

  // What the adapter gives the service, and what the server sends it.
  void FromAdapter(const std::string& packet);
  void FromServer(const std::string& datagram);
  void CloseSocket();

  std::string TakeCalls() { return calls_.Take(); }
  std::string TakePackets() { return packets_.Take(); }
  std::vector<std::string> SentToServer() const { return Locked(sent_); }  // on the last socket
  std::vector<std::string> HandedToAdapter() const { return Locked(handed_); }
  // Adapter packets taken and not released; reads of the protocol so far.
  int Unreleased() const { return Locked(unreleased_); }
  int Reads() const { return Locked(reads_); }

 private:
  class Socket;
  // A copy of `value`, taken under the lock.
  template <typename T>
  T Locked(const T& value) const {
    std::lock_guard lock(mutex_);
    return value;
  }

  mutable std::mutex mutex_;
  std::condition_variable arrived_;
  CallRecorder calls_;
  CallRecorder packets_;
  int reads_ = 0;
  uint32_t last_error_ = 0;
  std::deque<std::string> from_adapter_;
  std::deque<std::string> from_server_;
  bool socket_closed_ = false;
  std::vector<std::string> sent_;
  std::vector<std::string> handed_;
  std::map<const uint8_t*, std::unique_ptr<std::vector<uint8_t>>> lent_;  // both directions
  int unreleased_ = 0;
};

}  // namespace orvo_test
