#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

namespace orvo_test {

struct Datagram {
  std::string payload;
  std::string source_address;
  uint16_t source_port = 0;
};

// A UDP socket (IPv4) for the test's side of a conversation, closed at destruction. Works on
// both systems (Winsock is started on first use).
class UdpSocket {
 public:
  UdpSocket();
  ~UdpSocket();
  UdpSocket(const UdpSocket&) = delete;
  UdpSocket& operator=(const UdpSocket&) = delete;

  // Binds to `address` and `port` (0: any free port).
  bool Bind(const std::string& address, uint16_t port);
  uint16_t LocalPort() const;
  bool SendTo(const std::string& address, uint16_t port, const std::string& payload);
  // The next datagram that arrives within `timeout`.
  std::optional<Datagram> Receive(std::chrono::milliseconds timeout);

 private:
  intptr_t socket_ = -1;
};

}  // namespace orvo_test
