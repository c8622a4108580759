#include "platform/udp_socket.h"

#include <netinet/in.h>
#include <sys/socket.h>

#include <atomic>
#include <cerrno>
#include <optional>

#include "platform/posix/file_descriptor.h"
#include "platform/socket_address.h"

namespace orvo_vpn_win_svc::platform {
namespace {

class PosixUdpSocket final : public UdpSocket {
 public:
  explicit PosixUdpSocket(FileDescriptor socket) : socket_(std::move(socket)) {}

  int64_t Send(std::span<const uint8_t> datagram) override {
    if (closed_.load()) {
      return -1;
    }
    // A send after Close meets a shut-down socket: an error, never SIGPIPE.
    return send(socket_.Get(), datagram.data(), datagram.size(), MSG_NOSIGNAL);
  }

  int64_t Receive(std::span<uint8_t> buffer) override {
    // A shut-down UDP socket still hands out datagrams that were queued; after Close nothing
    // more is read.
    if (closed_.load()) {
      return 0;
    }
    for (;;) {
      const ssize_t received = recv(socket_.Get(), buffer.data(), buffer.size(), 0);
      if (received >= 0 || errno != EINTR) {
        return received;
      }
    }
  }

  // Shutting the socket down wakes a receive in progress (it returns 0) and fails every later
  // call. The descriptor itself is closed only when the object goes, after the threads that use
  // it have left: closing it here would free its number for the next descriptor the process
  // opens, and a thread just about to call recv would then wait on someone else's.
  void Close() override {
    if (!closed_.exchange(true)) {
      shutdown(socket_.Get(), SHUT_RDWR);
    }
  }

 private:
  FileDescriptor socket_;
  std::atomic<bool> closed_{false};
};

}  // namespace

UdpSocketOpening OpenConnectedUdpSocket(const IpAddress& server, uint16_t port) {
  UdpSocketOpening opening;
  FileDescriptor socket(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP));
  if (!socket.Valid()) {
    opening.error = errno;
    opening.failed_step = UdpSocketOpening::Step::kCreate;
    return opening;
  }
  const std::optional<sockaddr_in> address = Ipv4SocketAddress(server, port);
  if (!address) {
    opening.error = EAFNOSUPPORT;
    opening.failed_step = UdpSocketOpening::Step::kConnect;
    return opening;
  }
  if (connect(socket.Get(), reinterpret_cast<const sockaddr*>(&*address), sizeof(*address)) != 0) {
    opening.error = errno;
    opening.failed_step = UdpSocketOpening::Step::kConnect;
    return opening;
  }
  opening.socket = std::make_unique<PosixUdpSocket>(std::move(socket));
  return opening;
}

}  // namespace orvo_vpn_win_svc::platform
