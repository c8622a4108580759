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
#include <sys/socket.h>
#include <unistd.h>
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

}  // namespace orvo_test
