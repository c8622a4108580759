#pragma once

#include <cstdint>
#include <memory>
#include <span>

#include "platform/ip_helper.h"

namespace orvo_vpn_win_svc::platform {

// A connected, blocking IPv4 UDP socket (Winsock on Windows). Send and Receive may run on
// different threads at once; Close wakes a Receive in progress.
class UdpSocket {
 public:
  virtual ~UdpSocket() = default;
  // Bytes sent, or -1.
  virtual int64_t Send(std::span<const uint8_t> datagram) = 0;
  // Blocks until a datagram arrives (its length) or the socket is closed or fails (0 or -1).
  virtual int64_t Receive(std::span<uint8_t> buffer) = 0;
  virtual void Close() = 0;
};

struct UdpSocketOpening {
  std::unique_ptr<UdpSocket> socket;  // empty on failure
  int32_t error = 0;                  // WSAGetLastError / errno on failure
  enum class Step { kNone, kCreate, kConnect } failed_step = Step::kNone;
};

// Creates an IPv4 UDP socket and connects it to `server`:`port` (host order).
UdpSocketOpening OpenConnectedUdpSocket(const IpAddress& server, uint16_t port);

}  // namespace orvo_vpn_win_svc::platform
