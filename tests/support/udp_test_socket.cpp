#include "support/udp_test_socket.h"

#include "platform/ipv4_literal.h"
#include "platform/socket_address.h"

#include "platform/socket_compat.h"

#if defined(_WIN32)
namespace {
using NativeSocket = SOCKET;
using AddressLength = int;
using BufferLength = int;
void CloseNative(NativeSocket socket) {
  closesocket(socket);
}
bool WaitReadable(NativeSocket socket, std::chrono::milliseconds timeout) {
  WSAPOLLFD watched{socket, POLLRDNORM, 0};
  return WSAPoll(&watched, 1, static_cast<INT>(timeout.count())) == 1;
}
NativeSocket OpenNative() {
  static const bool started = [] {
    WSADATA data{};
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  (void)started;
  return ::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
}
}  // namespace
#else
#include <poll.h>
#include <unistd.h>
namespace {
using NativeSocket = int;
using AddressLength = socklen_t;
using BufferLength = size_t;
void CloseNative(NativeSocket socket) {
  close(socket);
}
bool WaitReadable(NativeSocket socket, std::chrono::milliseconds timeout) {
  pollfd watched{socket, POLLIN, 0};
  return poll(&watched, 1, static_cast<int>(timeout.count())) == 1;
}
NativeSocket OpenNative() {
  return ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
}
}  // namespace
#endif

namespace orvo_test {
namespace {

NativeSocket Native(intptr_t socket) {
  return static_cast<NativeSocket>(socket);
}

sockaddr_in Address(const std::string& text, uint16_t port) {
  using orvo_vpn_win_svc::platform::IpAddress;
  const IpAddress address =
      IpAddress::Ipv4(orvo_vpn_win_svc::platform::ParseIpv4Literal(text).value_or(0));
  return *orvo_vpn_win_svc::platform::Ipv4SocketAddress(address, port);
}

}  // namespace

UdpSocket::UdpSocket() : socket_(static_cast<intptr_t>(OpenNative())) {}

UdpSocket::~UdpSocket() {
  if (socket_ != -1) {
    CloseNative(Native(socket_));
  }
}

bool UdpSocket::Bind(const std::string& address, uint16_t port) {
  const sockaddr_in local = Address(address, port);
  return bind(Native(socket_), reinterpret_cast<const sockaddr*>(&local), sizeof(local)) == 0;
}

uint16_t UdpSocket::LocalPort() const {
  sockaddr_in local{};
  AddressLength size = sizeof(local);
  getsockname(Native(socket_), reinterpret_cast<sockaddr*>(&local), &size);
  return ntohs(local.sin_port);
}

bool UdpSocket::SendTo(const std::string& address, uint16_t port, const std::string& payload) {
  const sockaddr_in peer = Address(address, port);
  const auto sent =
      sendto(Native(socket_), payload.data(), static_cast<BufferLength>(payload.size()), 0,
             reinterpret_cast<const sockaddr*>(&peer), sizeof(peer));
  return sent >= 0 && static_cast<size_t>(sent) == payload.size();
}

std::optional<Datagram> UdpSocket::Receive(std::chrono::milliseconds timeout) {
  if (!WaitReadable(Native(socket_), timeout)) {
    return std::nullopt;
  }
  char buffer[65536];
  sockaddr_in from{};
  AddressLength from_size = sizeof(from);
  const auto size = recvfrom(Native(socket_), buffer, static_cast<BufferLength>(sizeof(buffer)), 0,
                             reinterpret_cast<sockaddr*>(&from), &from_size);
  if (size < 0) {
    return std::nullopt;
  }
  char text[INET_ADDRSTRLEN] = {};
  inet_ntop(AF_INET, &from.sin_addr, text, sizeof(text));
  return Datagram{std::string(buffer, static_cast<size_t>(size)), text, ntohs(from.sin_port)};
}

}  // namespace orvo_test
