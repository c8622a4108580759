#pragma once

#include <cstdint>
#include <memory>
#include <mutex>

#include "packet_ring.h"
#include "platform/posix/file_descriptor.h"

namespace orvo_vpn_win_svc::wintun {

class TunAdapter;

// A session on an adapter: a non-blocking descriptor attached to its TUN device, a receive ring
// that packets read from the device are kept in until released, and a send ring whose buffers
// are written to the device when sent. One thread may receive and release while another
// allocates and sends: each ring has a lock of its own, and reads and writes of one TUN
// descriptor do not disturb each other.
class TunSession {
 public:
  // Ring capacities Wintun accepts: a power of two from 128 KiB to 64 MiB.
  static constexpr uint32_t kMinRingCapacity = 0x20000;
  static constexpr uint32_t kMaxRingCapacity = 0x4000000;
  // The largest IP packet a session carries.
  static constexpr uint32_t kMaxIpPacketSize = 0xFFFF;

  // Attaches to the adapter's device and raises the link (a Wintun adapter is up while a
  // session runs). On failure returns null and sets `error` to a Windows error code.
  static std::unique_ptr<TunSession> Start(const TunAdapter& adapter, uint32_t capacity,
                                           uint32_t& error);

  TunSession(platform::FileDescriptor device, uint32_t capacity);

  // The next packet the system sent into the device, valid until released; null with
  // kErrorNoMoreItems when none is waiting, kErrorBufferOverflow when unreleased packets fill
  // the ring, kErrorHandleEof when the device is gone.
  uint8_t* Receive(uint32_t& size, uint32_t& error);
  bool ReleaseReceived(const uint8_t* packet);

  // A buffer of `size` bytes to fill and send; null with kErrorInvalidParameter for a size
  // outside 1 to kMaxIpPacketSize, kErrorBufferOverflow when the ring is full.
  uint8_t* AllocateSend(uint32_t size, uint32_t& error);
  // Writes the buffer's packet to the device and frees the buffer; false for a pointer that is
  // not an allocated buffer. A packet the device refuses is dropped, as a full ring drops it.
  bool Send(const uint8_t* packet);

 private:
  platform::FileDescriptor device_;
  std::mutex receive_mutex_;
  PacketRing receive_ring_;
  std::mutex send_mutex_;
  PacketRing send_ring_;
};

}  // namespace orvo_vpn_win_svc::wintun
