#pragma once

#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/udp_socket.h"

namespace orvo_test {

// A connected UDP socket in memory: Receive waits for what the test delivers (or a failure it
// injects) until the socket is closed; Send keeps every datagram in order.
class FakeUdpSocket final : public orvo_vpn_win_svc::platform::UdpSocket {
 public:
  void Deliver(const std::string& datagram);
  // The next Receive fails (-1) instead of giving a datagram.
  void DeliverFailure();

  std::vector<std::string> Sent() const;
  bool Closed() const;
  // How many Receive calls are blocked waiting for a datagram.
  int Waiting() const;

  int64_t Send(std::span<const uint8_t> datagram) override;
  int64_t Receive(std::span<uint8_t> buffer) override;
  void Close() override;

 private:
  mutable std::mutex mutex_;
  std::condition_variable arrived_;
  std::deque<std::optional<std::string>> inbound_;  // nothing: a failed receive
  std::vector<std::string> sent_;
  bool closed_ = false;
  int waiting_ = 0;
};

}  // namespace orvo_test
