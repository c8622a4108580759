#include "support/tcp_probe.h"

#include <cstdint>

#if defined(_WIN32)
#include <winsock2.h>
#include <ws2tcpip.h>
using Socket = SOCKET;
constexpr Socket kNoSocket = INVALID_SOCKET;
static void CloseSocket(Socket socket) {
  closesocket(socket);
}
using AddressLength = int;
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
using Socket = int;
constexpr Socket kNoSocket = -1;
static void CloseSocket(Socket socket) {
  close(socket);
}
using AddressLength = socklen_t;
#endif

namespace orvo_test {
namespace {

void EnsureSockets() {
#if defined(_WIN32)
  static const bool started = [] {
    WSADATA data{};
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  (void)started;
#endif
}

sockaddr_in Loopback(int port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return address;
}

}  // namespace

bool AcceptsConnections(int port) {
  EnsureSockets();
  const Socket socket = ::socket(AF_INET, SOCK_STREAM, 0);
  if (socket == kNoSocket) {
    return false;
  }
  const sockaddr_in address = Loopback(port);
  const bool connected =
      connect(socket, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
  CloseSocket(socket);
  return connected;
}

int FreeLoopbackPort() {
  EnsureSockets();
  const Socket socket = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address = Loopback(0);
  AddressLength length = sizeof address;
  int port = 0;
  if (bind(socket, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 &&
      getsockname(socket, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
    port = ntohs(address.sin_port);
  }
  CloseSocket(socket);
  return port;
}

#if defined(_WIN32)
ConnectOutcome TryConnect(const std::string&, int, std::chrono::milliseconds) {
  return ConnectOutcome::kRefused;
}
#else
ConnectOutcome TryConnect(const std::string& address, int port, std::chrono::milliseconds timeout) {
  sockaddr_storage peer{};
  socklen_t length = 0;
  auto* v4 = reinterpret_cast<sockaddr_in*>(&peer);
  auto* v6 = reinterpret_cast<sockaddr_in6*>(&peer);
  if (inet_pton(AF_INET, address.c_str(), &v4->sin_addr) == 1) {
    v4->sin_family = AF_INET;
    v4->sin_port = htons(static_cast<uint16_t>(port));
    length = sizeof(*v4);
  } else if (inet_pton(AF_INET6, address.c_str(), &v6->sin6_addr) == 1) {
    v6->sin6_family = AF_INET6;
    v6->sin6_port = htons(static_cast<uint16_t>(port));
    length = sizeof(*v6);
  } else {
    return ConnectOutcome::kRefused;
  }
  const Socket socket = ::socket(peer.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (socket == kNoSocket) {
    return ConnectOutcome::kRefused;
  }
  ConnectOutcome outcome = ConnectOutcome::kConnected;
  if (connect(socket, reinterpret_cast<const sockaddr*>(&peer), length) != 0) {
    pollfd watched{socket, POLLOUT, 0};
    int error = 0;
    socklen_t error_length = sizeof(error);
    if (errno != EINPROGRESS) {
      outcome = ConnectOutcome::kRefused;
    } else if (poll(&watched, 1, static_cast<int>(timeout.count())) != 1) {
      outcome = ConnectOutcome::kTimedOut;
    } else if (getsockopt(socket, SOL_SOCKET, SO_ERROR, &error, &error_length) != 0 || error != 0) {
      outcome = ConnectOutcome::kRefused;
    }
  }
  CloseSocket(socket);
  return outcome;
}
#endif

}  // namespace orvo_test
