#include "stand_in_tunnel.h"

#include <cstring>
#include <string_view>

namespace orvo_stand_in {
namespace {

constexpr std::string_view kMarker = "orvo-wg-stand-in";

constexpr WireGuardResult Result(int32_t op, size_t size = 0) {
  return WireGuardResult{op, size};
}

bool HasMarker(const uint8_t* body, uint32_t size) {
  return size == kMarker.size() && std::memcmp(body, kMarker.data(), kMarker.size()) == 0;
}

uint32_t BigEndian16(const uint8_t* bytes) {
  return (static_cast<uint32_t>(bytes[0]) << 8) | bytes[1];
}

// The length of the IP packet at the start of `body` as its header gives it (datagrams may
// carry padding after it), or 0 when the body does not hold a whole IPv4 or IPv6 packet.
uint32_t IpPacketLength(const uint8_t* body, uint32_t size, int& version) {
  version = size > 0 ? body[0] >> 4 : 0;
  if (version == 4 && size >= 20) {
    const uint32_t header = (body[0] & 0x0Fu) * 4;
    const uint32_t total = BigEndian16(body + 2);
    return header >= 20 && total >= header && total <= size ? total : 0;
  }
  if (version == 6 && size >= 40) {
    const uint32_t total = 40 + BigEndian16(body + 4);
    return total <= size ? total : 0;
  }
  return 0;
}

}  // namespace

StandInTunnel::StandInTunnel(uint16_t keep_alive)
    : keep_alive_ns_(int64_t{keep_alive} * 1000000000), last_sent_ns_(Now()) {}

int64_t StandInTunnel::Now() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

WireGuardResult StandInTunnel::Emit(uint8_t type, const uint8_t* body, uint32_t body_size,
                                    uint8_t* out, uint32_t out_size) {
  if (out == nullptr || out_size < 1 || body_size > out_size - 1) {
    return Result(kError);
  }
  out[0] = type;
  if (body_size > 0) {
    std::memcpy(out + 1, body, body_size);
  }
  last_sent_ns_.store(Now());
  return Result(kWriteToNetwork, size_t{body_size} + 1);
}

WireGuardResult StandInTunnel::Write(const uint8_t* packet, uint32_t size, uint8_t* out,
                                     uint32_t out_size) {
  if (packet == nullptr || size == 0) {
    return Result(kError);
  }
  return Emit(kData, packet, size, out, out_size);
}

WireGuardResult StandInTunnel::Read(const uint8_t* datagram, uint32_t size, uint8_t* out,
                                    uint32_t out_size) {
  if (datagram == nullptr || size == 0) {
    return Result(kError);
  }
  const uint8_t* body = datagram + 1;
  const uint32_t body_size = size - 1;
  switch (datagram[0]) {
    case kHandshakeInitiation:
      if (!HasMarker(body, body_size)) {
        return Result(kError);
      }
      return Emit(kHandshakeResponse, reinterpret_cast<const uint8_t*>(kMarker.data()),
                  static_cast<uint32_t>(kMarker.size()), out, out_size);
    case kHandshakeResponse:
      if (!HasMarker(body, body_size)) {
        return Result(kError);
      }
      handshake_complete_.store(true);
      return Result(kDone);
    case kData: {
      if (body_size == 0) {
        return Result(kDone);  // keep-alive
      }
      int version = 0;
      const uint32_t length = IpPacketLength(body, body_size, version);
      if (length == 0 || out == nullptr || length > out_size) {
        return Result(kError);
      }
      std::memcpy(out, body, length);
      return Result(version == 4 ? kWriteToTunnelIpv4 : kWriteToTunnelIpv6, length);
    }
    default:
      return Result(kError);
  }
}

WireGuardResult StandInTunnel::Tick(uint8_t* out, uint32_t out_size) {
  if (keep_alive_ns_ == 0 || Now() - last_sent_ns_.load() < keep_alive_ns_) {
    return Result(kDone);
  }
  return Emit(kData, nullptr, 0, out, out_size);
}

WireGuardResult StandInTunnel::ForceHandshake(uint8_t* out, uint32_t out_size) {
  return Emit(kHandshakeInitiation, reinterpret_cast<const uint8_t*>(kMarker.data()),
              static_cast<uint32_t>(kMarker.size()), out, out_size);
}

}  // namespace orvo_stand_in
