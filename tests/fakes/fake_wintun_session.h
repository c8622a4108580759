#pragma once

#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "runtime/tunnel_library_tables.h"

namespace orvo_test {

// A Wintun session behind a wintun function table, for the packet threads: packets queued here
// come out of ReceivePacket (the adapter's outbound ring), packets the service hands in through
// AllocateSendPacket and SendPacket are kept in order. The session handle is the fake itself.
class FakeWintunSession {
 public:
  static orvo_vpn_win_svc::WintunFunctions Table();
  orvo_vpn_win_svc::WintunSessionHandle Session() { return this; }

  // A packet the adapter gives to the next ReceivePacket.
  void QueueOutbound(const std::string& packet);
  // From now on AllocateSendPacket gives nothing.
  void RefuseAllocations();

  // Packets handed to the adapter, in order.
  std::vector<std::string> Delivered() const;
  int Received() const;
  int Released() const;
  // Allocated send buffers that were never sent, and received packets never released.
  int Outstanding() const;

 private:
  static uint8_t* ReceivePacket(void* session, uint32_t* size);
  static void ReleaseReceivePacket(void* session, const uint8_t* packet);
  static uint8_t* AllocateSendPacket(void* session, uint32_t size);
  static void SendPacket(void* session, const uint8_t* packet);

  mutable std::mutex mutex_;
  std::deque<std::string> outbound_;
  // Buffers lent to the service, by address: received packets and allocated send buffers.
  std::map<const uint8_t*, std::unique_ptr<std::vector<uint8_t>>> lent_receive_;
  std::map<const uint8_t*, std::unique_ptr<std::vector<uint8_t>>> lent_send_;
  std::vector<std::string> delivered_;
  bool refuse_allocations_ = false;
  int received_ = 0;
  int released_ = 0;
};

}  // namespace orvo_test
