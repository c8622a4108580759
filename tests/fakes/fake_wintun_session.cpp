#include "fakes/fake_wintun_session.h"

namespace orvo_test {

orvo_vpn_win_svc::WintunFunctions FakeWintunSession::Table() {
  orvo_vpn_win_svc::WintunFunctions table;
  table.ReceivePacket = &FakeWintunSession::ReceivePacket;
  table.ReleaseReceivePacket = &FakeWintunSession::ReleaseReceivePacket;
  table.AllocateSendPacket = &FakeWintunSession::AllocateSendPacket;
  table.SendPacket = &FakeWintunSession::SendPacket;
  return table;
}

void FakeWintunSession::QueueOutbound(const std::string& packet) {
  std::lock_guard lock(mutex_);
  outbound_.push_back(packet);
}

void FakeWintunSession::RefuseAllocations() {
  std::lock_guard lock(mutex_);
  refuse_allocations_ = true;
}

std::vector<std::string> FakeWintunSession::Delivered() const {
  std::lock_guard lock(mutex_);
  return delivered_;
}

int FakeWintunSession::Received() const {
  std::lock_guard lock(mutex_);
  return received_;
}

int FakeWintunSession::Released() const {
  std::lock_guard lock(mutex_);
  return released_;
}

int FakeWintunSession::Outstanding() const {
  std::lock_guard lock(mutex_);
  return static_cast<int>(lent_receive_.size() + lent_send_.size());
}

uint8_t* FakeWintunSession::ReceivePacket(void* session, uint32_t* size) {
  auto& self = *static_cast<FakeWintunSession*>(session);
  std::lock_guard lock(self.mutex_);
  if (self.outbound_.empty()) {
    return nullptr;
  }
  const std::string packet = self.outbound_.front();
  self.outbound_.pop_front();
  auto buffer = std::make_unique<std::vector<uint8_t>>(packet.begin(), packet.end());
  buffer->reserve(1);  // an empty packet still gets an address of its own
  uint8_t* address = buffer->data();
  self.lent_receive_[address] = std::move(buffer);
  *size = static_cast<uint32_t>(packet.size());
  ++self.received_;
  return address;
}

void FakeWintunSession::ReleaseReceivePacket(void* session, const uint8_t* packet) {
  auto& self = *static_cast<FakeWintunSession*>(session);
  std::lock_guard lock(self.mutex_);
  self.lent_receive_.erase(packet);
  ++self.released_;
}

uint8_t* FakeWintunSession::AllocateSendPacket(void* session, uint32_t size) {
  auto& self = *static_cast<FakeWintunSession*>(session);
  std::lock_guard lock(self.mutex_);
  if (self.refuse_allocations_) {
    return nullptr;
  }
  auto buffer = std::make_unique<std::vector<uint8_t>>(size);
  uint8_t* address = buffer->data();
  self.lent_send_[address] = std::move(buffer);
  return address;
}

void FakeWintunSession::SendPacket(void* session, const uint8_t* packet) {
  auto& self = *static_cast<FakeWintunSession*>(session);
  std::lock_guard lock(self.mutex_);
  const auto lent = self.lent_send_.find(packet);
  if (lent == self.lent_send_.end()) {
    self.delivered_.push_back("<not allocated>");
    return;
  }
  self.delivered_.emplace_back(lent->second->begin(), lent->second->end());
  self.lent_send_.erase(lent);
}

}  // namespace orvo_test
