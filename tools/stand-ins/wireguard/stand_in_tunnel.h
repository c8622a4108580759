#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <span>

#include "runtime/tunnel_library_tables.h"

namespace orvo_stand_in {

using orvo_vpn_win_svc::WireGuardResult;
using Bytes = std::span<const uint8_t>;

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
// It keeps no state (it has no timers: its tick never has anything to send), so every operation
// may run on several threads at once.
class StandInTunnel {
 public:
  enum : int32_t { kDone, kWriteToNetwork, kError, kWriteToTunnelIpv4 = 4, kWriteToTunnelIpv6 = 6 };

  // Wraps an IP packet into a data datagram (code 1).
  WireGuardResult Write(const uint8_t* packet, uint32_t size, uint8_t* out, uint32_t out_size) {
    return packet == nullptr || size == 0 ? Result(kError)
                                          : Emit(kData, {packet, size}, out, out_size);
  }

  // Unwraps a data datagram (code 4 or 6 by the packet's IP version), answers a handshake
  // initiation (code 1) and consumes a response or keep-alive (code 0).
  WireGuardResult Read(const uint8_t* datagram, uint32_t size, uint8_t* out, uint32_t out_size) {
    if (datagram == nullptr || size == 0) {
      return Result(kError);
    }
    const Bytes body(datagram + 1, size - 1);
    const bool marked = std::ranges::equal(body, Marker());
    if (datagram[0] == kHandshakeInitiation && marked) {
      return Emit(kHandshakeResponse, Marker(), out, out_size);
    }
    if ((datagram[0] == kHandshakeResponse && marked) || (datagram[0] == kData && body.empty())) {
      return Result(kDone);  // a handshake response, or a keep-alive
    }
    // Only a whole IP header is handed on; the stand-in sends no padding after the packet.
    const int version = body.empty() ? 0 : body[0] >> 4;
    const bool whole = (version == 4 && body.size() >= 20) || (version == 6 && body.size() >= 40);
    if (datagram[0] != kData || !whole || out == nullptr || body.size() > out_size) {
      return Result(kError);
    }
    std::memcpy(out, body.data(), body.size());
    return Result(version == 4 ? kWriteToTunnelIpv4 : kWriteToTunnelIpv6, body.size());
  }

  // Code 0: nothing is ever due.
  WireGuardResult Tick(uint8_t* /*out*/, uint32_t /*out_size*/) { return Result(kDone); }

  // A handshake initiation (code 1).
  WireGuardResult ForceHandshake(uint8_t* out, uint32_t out_size) {
    return Emit(kHandshakeInitiation, Marker(), out, out_size);
  }

 private:
  enum : uint8_t { kHandshakeInitiation = 1, kHandshakeResponse = 2, kData = 4 };

  static Bytes Marker() {
    static constexpr char kMarker[] = "orvo-wg-stand-in";
    return {reinterpret_cast<const uint8_t*>(kMarker), sizeof(kMarker) - 1};
  }
  static WireGuardResult Result(int32_t op, size_t size = 0) { return WireGuardResult{op, size}; }

  // Writes one datagram to `out`.
  WireGuardResult Emit(uint8_t type, Bytes body, uint8_t* out, uint32_t out_size) {
    if (out == nullptr || out_size < 1 || body.size() > out_size - 1) {
      return Result(kError);
    }
    out[0] = type;
    std::copy(body.begin(), body.end(), out + 1);
    return Result(kWriteToNetwork, body.size() + 1);
  }
};

}  // namespace orvo_stand_in
