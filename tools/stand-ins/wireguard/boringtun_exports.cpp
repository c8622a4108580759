// TEST EQUIPMENT, not boringtun: the six entry points of the WireGuard protocol library the
// service loads, with the result codes of the real library and NO CRYPTOGRAPHY AT ALL: packets
// travel in clear text and anyone can read or forge them. It exists so the service's packet path
// can be driven end to end. Built as libboringtun.so and boringtun.dll into
// test-bin/wireguard-stand-in/, never beside a production build, and into the stand-in server.
//
// A datagram is one type byte followed by a body:
//   1 handshake initiation   body: the marker "orvo-wg-stand-in"
//   2 handshake response     body: the marker
//   4 data                   body: one IP packet; an empty body is a keep-alive
// The type numbers are WireGuard's; nothing else is.
//
// A tunnel keeps no state (it has no timers: its tick never has anything to send), so every call
// may run on several threads at once.
#include <algorithm>
#include <cstring>
#include <new>
#include <span>
#include <string_view>

#include "stand_in_tunnel.h"

using namespace orvo_stand_in;

namespace {

using Bytes = std::span<const uint8_t>;
enum : uint8_t { kHandshakeInitiation = 1, kHandshakeResponse = 2, kData = 4 };
struct Tunnel {};

Bytes Marker() {
  static constexpr char kMarker[] = "orvo-wg-stand-in";
  return {reinterpret_cast<const uint8_t*>(kMarker), sizeof(kMarker) - 1};
}

WireGuardResult Result(int32_t op, size_t size = 0) {
  return WireGuardResult{op, size};
}

// Writes one datagram to `out` (code 1).
WireGuardResult Emit(uint8_t type, Bytes body, uint8_t* out, uint32_t out_size) {
  if (out == nullptr || out_size < 1 || body.size() > out_size - 1) {
    return Result(kError);
  }
  out[0] = type;
  std::copy(body.begin(), body.end(), out + 1);
  return Result(kWriteToNetwork, body.size() + 1);
}

// True when `text` is a WireGuard key as the real library accepts it in base64: 32 bytes are
// 42 characters of 6 bits, a 43rd carrying the last 4 bits (its low 2 bits zero), then '='.
bool IsWireGuardKey(const char* text) {
  constexpr std::string_view kAlphabet =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  const std::string_view key = text != nullptr ? text : "";
  return key.size() == 44 && key.find_first_not_of(kAlphabet) == 43 && key[43] == '=' &&
         (kAlphabet.find(key[42]) & 0x3) == 0;
}

}  // namespace

STAND_IN_EXPORT void* new_tunnel(const char* private_key, const char* server_public_key,
                                 const char* preshared_key, uint16_t /*keep_alive*/,
                                 uint32_t /*index*/) {
  // Keys are checked as the real library checks them; the stand-in does nothing else with them.
  if (!IsWireGuardKey(private_key) || !IsWireGuardKey(server_public_key) ||
      (preshared_key != nullptr && !IsWireGuardKey(preshared_key))) {
    return nullptr;
  }
  return new (std::nothrow) Tunnel;
}

// Wraps an IP packet into a data datagram (code 1).
STAND_IN_EXPORT WireGuardResult wireguard_write(void* tunnel, const uint8_t* source,
                                                uint32_t source_size, uint8_t* destination,
                                                uint32_t destination_size) {
  if (tunnel == nullptr || source == nullptr || source_size == 0) {
    return Result(kError);
  }
  return Emit(kData, {source, source_size}, destination, destination_size);
}

// Unwraps a data datagram (code 4 or 6 by the packet's IP version), answers a handshake
// initiation (code 1) and consumes a response or keep-alive (code 0).
STAND_IN_EXPORT WireGuardResult wireguard_read(void* tunnel, const uint8_t* source,
                                               uint32_t source_size, uint8_t* destination,
                                               uint32_t destination_size) {
  if (tunnel == nullptr || source == nullptr || source_size == 0) {
    return Result(kError);
  }
  const Bytes body(source + 1, source_size - 1);
  const bool marked = std::ranges::equal(body, Marker());
  if (source[0] == kHandshakeInitiation && marked) {
    return Emit(kHandshakeResponse, Marker(), destination, destination_size);
  }
  if ((source[0] == kHandshakeResponse && marked) || (source[0] == kData && body.empty())) {
    return Result(kDone);  // a handshake response, or a keep-alive
  }
  // Only a whole IP header is handed on; the stand-in sends no padding after the packet.
  const int version = body.empty() ? 0 : body[0] >> 4;
  const bool whole = (version == 4 && body.size() >= 20) || (version == 6 && body.size() >= 40);
  if (source[0] != kData || !whole || destination == nullptr || body.size() > destination_size) {
    return Result(kError);
  }
  std::memcpy(destination, body.data(), body.size());
  return Result(version == 4 ? kWriteToTunnelIpv4 : kWriteToTunnelIpv6, body.size());
}

// Code 0: nothing is ever due.
STAND_IN_EXPORT WireGuardResult wireguard_tick(void* tunnel, uint8_t* /*destination*/,
                                               uint32_t /*destination_size*/) {
  return Result(tunnel == nullptr ? kError : kDone);
}

// A handshake initiation (code 1).
STAND_IN_EXPORT WireGuardResult wireguard_force_handshake(void* tunnel, uint8_t* destination,
                                                          uint32_t destination_size) {
  return tunnel == nullptr ? Result(kError)
                           : Emit(kHandshakeInitiation, Marker(), destination, destination_size);
}

STAND_IN_EXPORT void tunnel_free(void* tunnel) {
  delete static_cast<Tunnel*>(tunnel);
}

// Each export has exactly the type the service's function table expects: a table filled from
// them would not compile otherwise.
[[maybe_unused]] constexpr orvo_vpn_win_svc::BoringtunFunctions kExportsFitTheTable{
    &new_tunnel,     &wireguard_write,           &wireguard_read,
    &wireguard_tick, &wireguard_force_handshake, &tunnel_free};
