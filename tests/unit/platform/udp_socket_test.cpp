#include "platform/udp_socket.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <optional>
#include <string>
#include <vector>

#include "platform/socket_compat.h"
#include "platform/socket_library.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/select.h>
#include <unistd.h>
#endif

namespace orvo_vpn_win_svc {
namespace {

using std::chrono::milliseconds;

const platform::IpAddress kLoopback = platform::IpAddress::Ipv4(0x7F000001);

std::span<const uint8_t> Bytes(const std::string& text) {
  return {reinterpret_cast<const uint8_t*>(text.data()), text.size()};
}

#ifdef _WIN32
using RawSocket = SOCKET;
using Length = int;
constexpr uintptr_t kHandleStep = 4;  // kernel handles are multiples of four
#else
using RawSocket = int;
using Length = size_t;
constexpr uintptr_t kHandleStep = 1;
#define closesocket close
#endif

// Whether this process's socket connected to 127.0.0.1:`port` would pass to a child process
// (HANDLE_FLAG_INHERIT on Windows, no FD_CLOEXEC on Linux); nothing when there is none. Socket
// handles are small numbers, and this process has far fewer than these.
std::optional<bool> SocketToPortIsInherited(uint16_t port) {
  for (uintptr_t value = 0; value < 0x10000; value += kHandleStep) {
    sockaddr_in peer{};
    socklen_t length = sizeof(peer);
    const auto socket = static_cast<RawSocket>(value);
    if (getpeername(socket, reinterpret_cast<sockaddr*>(&peer), &length) != 0 ||
        peer.sin_family != AF_INET || ntohs(peer.sin_port) != port) {
      continue;
    }
#ifdef _WIN32
    DWORD flags = 0;
    if (!GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags)) {
      return std::nullopt;
    }
    return (flags & HANDLE_FLAG_INHERIT) != 0;
#else
    return (fcntl(socket, F_GETFD) & FD_CLOEXEC) == 0;
#endif
  }
  return std::nullopt;
}

// The test's side of the conversation: a plain UDP socket on a free loopback port.
struct Peer {
  Peer() {
    platform::StartSocketLibrary();
    socket = ::socket(AF_INET, SOCK_DGRAM, 0);  // after Winsock has started
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    bound = bind(socket, reinterpret_cast<sockaddr*>(&address), length) == 0 &&
            getsockname(socket, reinterpret_cast<sockaddr*>(&address), &length) == 0;
  }
  ~Peer() { closesocket(socket); }
  uint16_t Port() const { return ntohs(address.sin_port); }
  // The next datagram within five seconds; its sender lands in `from`.
  std::optional<std::string> Receive(sockaddr_in& from) {
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(socket, &readable);
    timeval timeout{5, 0};
    std::string payload(65535, '\0');
    socklen_t length = sizeof(from);
    if (select(static_cast<int>(socket) + 1, &readable, nullptr, nullptr, &timeout) != 1) return {};
    const auto size = recvfrom(socket, payload.data(), static_cast<Length>(payload.size()), 0,
                               reinterpret_cast<sockaddr*>(&from), &length);
    if (size < 0) return {};
    payload.resize(static_cast<size_t>(size));
    return payload;
  }
  bool SendTo(const sockaddr_in& to, const std::string& payload) {
    return sendto(socket, payload.data(), static_cast<Length>(payload.size()), 0,
                  reinterpret_cast<const sockaddr*>(&to), sizeof(to)) ==
           static_cast<long long>(payload.size());
  }
  RawSocket socket;
  sockaddr_in address{};
  bool bound = false;
};

// The service's socket connected to a peer on the loopback carries datagrams both ways; Close
// wakes a receive in progress, later calls fail at once; children never inherit it (sing-box
// children are started with handle inheritance on).
TEST(UdpSocket, CarriesDatagramsUntilClosedAndIsNotInherited) {
  Peer peer;
  ASSERT_TRUE(peer.bound);
  platform::UdpSocketOpening opening = platform::OpenConnectedUdpSocket(kLoopback, peer.Port());
  ASSERT_TRUE(opening.socket) << "error " << opening.error;
  platform::UdpSocket& socket = *opening.socket;
  EXPECT_EQ(SocketToPortIsInherited(peer.Port()), std::optional<bool>(false));
  ASSERT_EQ(socket.Send(Bytes("handshake")), 9);
  sockaddr_in service{};
  EXPECT_EQ(peer.Receive(service), std::optional<std::string>("handshake"));
  ASSERT_TRUE(peer.SendTo(service, "response"));
  ASSERT_TRUE(peer.SendTo(service, std::string(1400, 'd')));
  std::vector<uint8_t> buffer(65535);
  EXPECT_EQ(socket.Receive(buffer), 8);
  EXPECT_EQ(std::string(buffer.begin(), buffer.begin() + 8), "response");
  EXPECT_EQ(socket.Receive(buffer), 1400);

  auto receive = std::async(std::launch::async, [&] { return socket.Receive(buffer); });
  EXPECT_EQ(receive.wait_for(milliseconds(100)), std::future_status::timeout);
  socket.Close();
  ASSERT_EQ(receive.wait_for(std::chrono::seconds(5)), std::future_status::ready);
  EXPECT_LE(receive.get(), 0);
  ASSERT_TRUE(peer.SendTo(service, "late"));
  EXPECT_LE(socket.Receive(buffer), 0);
  EXPECT_EQ(socket.Send(Bytes("after close")), -1);
  // The tunnel carries IPv4 only: an IPv6 server is refused before anything is sent.
  const platform::UdpSocketOpening v6 =
      platform::OpenConnectedUdpSocket({platform::IpAddress::Family::kIpv6, {}}, peer.Port());
  EXPECT_TRUE(!v6.socket && v6.failed_step == platform::UdpSocketOpening::Step::kConnect);
}

}  // namespace
}  // namespace orvo_vpn_win_svc
