#include "fakes/fake_udp_socket.h"

#include <algorithm>
#include <cstring>

namespace orvo_test {

void FakeUdpSocket::Deliver(const std::string& datagram) {
  std::lock_guard lock(mutex_);
  inbound_.emplace_back(datagram);
  arrived_.notify_all();
}

void FakeUdpSocket::DeliverFailure() {
  std::lock_guard lock(mutex_);
  inbound_.emplace_back(std::nullopt);
  arrived_.notify_all();
}

std::vector<std::string> FakeUdpSocket::Sent() const {
  std::lock_guard lock(mutex_);
  return sent_;
}

bool FakeUdpSocket::Closed() const {
  std::lock_guard lock(mutex_);
  return closed_;
}

int64_t FakeUdpSocket::Send(std::span<const uint8_t> datagram) {
  std::lock_guard lock(mutex_);
  if (closed_) {
    return -1;
  }
  sent_.emplace_back(reinterpret_cast<const char*>(datagram.data()), datagram.size());
  return static_cast<int64_t>(datagram.size());
}

int FakeUdpSocket::Waiting() const {
  std::lock_guard lock(mutex_);
  return waiting_;
}

int64_t FakeUdpSocket::Receive(std::span<uint8_t> buffer) {
  std::unique_lock lock(mutex_);
  ++waiting_;
  arrived_.wait(lock, [this] { return closed_ || !inbound_.empty(); });
  --waiting_;
  if (closed_) {
    return 0;
  }
  const std::optional<std::string> datagram = inbound_.front();
  inbound_.pop_front();
  if (!datagram) {
    return -1;
  }
  const size_t size = std::min(datagram->size(), buffer.size());
  std::memcpy(buffer.data(), datagram->data(), size);
  return static_cast<int64_t>(size);
}

void FakeUdpSocket::Close() {
  std::lock_guard lock(mutex_);
  closed_ = true;
  arrived_.notify_all();
}

}  // namespace orvo_test
