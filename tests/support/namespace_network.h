#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

namespace orvo_test {

// Helpers for tests that work with links, addresses and packets inside their own network
// namespace on Linux (see network_namespace.h). Elsewhere they fail (empty, 0, false); the
// tests that use them skip before they get there.

// The standard output of a shell command run in the caller's network namespace.
std::string ShellOutput(const std::string& command);

// The index of the link `name` as `ip` reports it; 0 when there is no such link.
int LinkIndex(const std::string& name);

// Open descriptors and threads of this process, to show that nothing leaked; -1 when unknown.
int CountOpenDescriptors();
int CountThreads();

struct Datagram {
  std::string payload;
  std::string source_address;
  uint16_t source_port = 0;
};

// A UDP socket (IPv4), closed at destruction.
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
  int socket_ = -1;
};

// Sends one ICMP echo request to `address` and waits up to `timeout` for its reply.
bool Ping(const std::string& address, std::chrono::milliseconds timeout);

}  // namespace orvo_test
