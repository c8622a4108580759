#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>

#include "runtime/tunnel_library_tables.h"

namespace orvo_stand_in {

using orvo_vpn_win_svc::WireGuardResult;

// TEST EQUIPMENT. A stand-in for a WireGuard tunnel object with the result codes of the real
// protocol library, and NO CRYPTOGRAPHY AT ALL: packets travel in clear text and anyone can
// read or forge them. It exists so the service's packet path can be driven end to end.
//
// A datagram is one type byte followed by a body:
//   1 handshake initiation   body: the marker "orvo-wg-stand-in"
//   2 handshake response     body: the marker
//   4 data                   body: one IP packet; an empty body is a keep-alive
// The type numbers are WireGuard's; nothing else is.
//
// Result codes: 0 done (nothing to do), 1 send the bytes to the peer, 2 error, 4 and 6 hand
// the bytes to the tunnel device as an IPv4 or IPv6 packet.
//
// Every operation may run on several threads at once: the state is two atomics.
class StandInTunnel {
 public:
  static constexpr uint8_t kHandshakeInitiation = 1;
  static constexpr uint8_t kHandshakeResponse = 2;
  static constexpr uint8_t kData = 4;
  static constexpr int32_t kDone = 0;
  static constexpr int32_t kWriteToNetwork = 1;
  static constexpr int32_t kError = 2;
  static constexpr int32_t kWriteToTunnelIpv4 = 4;
  static constexpr int32_t kWriteToTunnelIpv6 = 6;

  // `keep_alive` seconds of silence make Tick send a keep-alive; 0 never does.
  explicit StandInTunnel(uint16_t keep_alive);

  // Wraps an IP packet into a data datagram (code 1).
  WireGuardResult Write(const uint8_t* packet, uint32_t size, uint8_t* out, uint32_t out_size);
  // Unwraps a data datagram (code 4 or 6, the packet trimmed to the length its header gives),
  // answers a handshake initiation (code 1) and consumes a response or keep-alive (code 0).
  WireGuardResult Read(const uint8_t* datagram, uint32_t size, uint8_t* out, uint32_t out_size);
  // A keep-alive (code 1) when nothing was sent for `keep_alive` seconds, else code 0.
  WireGuardResult Tick(uint8_t* out, uint32_t out_size);
  // A handshake initiation (code 1).
  WireGuardResult ForceHandshake(uint8_t* out, uint32_t out_size);

  // True once a handshake response has been read.
  bool HandshakeComplete() const { return handshake_complete_.load(); }

 private:
  // Writes one datagram to `out` and notes the time it left.
  WireGuardResult Emit(uint8_t type, const uint8_t* body, uint32_t body_size, uint8_t* out,
                       uint32_t out_size);
  static int64_t Now();

  const int64_t keep_alive_ns_;
  std::atomic<int64_t> last_sent_ns_;
  std::atomic<bool> handshake_complete_{false};
};

}  // namespace orvo_stand_in
