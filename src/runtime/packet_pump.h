#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

#include "platform/sleeper.h"
#include "platform/thread_starter.h"
#include "platform/udp_socket.h"
#include "runtime/packet_threads.h"
#include "runtime/tunnel_library_tables.h"

namespace orvo_vpn_win_svc {

// What the packet threads of one connection work with. The tunnel pointer, the socket and the
// running flag are the runtime's own fields, read each time they are used; the session is the
// one the connection started. The runtime keeps all of them valid until Join has returned: it
// clears `running`, closes the socket (which wakes the receive thread), joins, and only then
// resets the socket, frees the tunnel and ends the session.
struct PacketPumpParts {
  const WintunFunctions& wintun;
  WintunSessionHandle session;
  const BoringtunFunctions& boringtun;
  const WireGuardTunnel& tunnel;
  const std::unique_ptr<platform::UdpSocket>& socket;  // empty: no socket, nothing is sent
  const std::atomic<bool>& running;
  // The exclusion-route upkeep, run on the timer thread once a pass.
  std::function<void()> exclusion_route_upkeep;
  // Every pause of the threads; on Windows it must keep 1 ms pauses near 1 ms.
  platform::Sleeper& sleeper;
  platform::ThreadStarter start_thread = platform::StartSystemThread;
};

// The four packet threads of a WireGuard connection: the initial handshake, the receive loop
// (server to adapter), the send loop (adapter to server) and the one-second timer (tick, a
// forced handshake every 20th pass, the exclusion-route upkeep).
class PacketPump final : public PacketThreads {
 public:
  static constexpr uint32_t kDatagramBufferSize = 65535;
  static constexpr uint32_t kTimerBufferSize = 4096;
  static constexpr uint32_t kForcedHandshakeEvery = 20;

  explicit PacketPump(PacketPumpParts parts);
  // Joins: the owner has cleared running and closed the socket before.
  ~PacketPump() override;
  PacketPump(const PacketPump&) = delete;
  PacketPump& operator=(const PacketPump&) = delete;

  // Starts the threads in the order initial handshake, receive, send, timer. False when one of
  // them cannot be created; those started before it run on until running is cleared, and Join
  // still waits for them.
  bool Start();
  void Join() override;

 private:
  void InitialHandshake();
  void ReceiveLoop();
  void SendLoop();
  void TimerLoop();
  // Sends the first `size` bytes of `buffer` when the runtime has a socket; true when sent.
  bool SendToServer(const std::vector<uint8_t>& buffer, size_t size);

  PacketPumpParts parts_;
  std::vector<std::thread> threads_;
};

}  // namespace orvo_vpn_win_svc
