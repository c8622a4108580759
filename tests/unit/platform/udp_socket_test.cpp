#include "platform/udp_socket.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <optional>
#include <vector>

#include "platform/socket_compat.h"
#include "platform/socket_library.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#endif

namespace orvo_vpn_win_svc {
namespace {

#ifdef _WIN32
using RawSocket = SOCKET;
constexpr uintptr_t kHandleStep = 4;  // kernel handles are multiples of four
#else
using RawSocket = int;
constexpr uintptr_t kHandleStep = 1;
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

// The service's socket, connected to a loopback port (a UDP connect needs no listener), is never
// inherited by children (sing-box children are started with handle inheritance on); Close wakes
// a receive in progress and later calls fail at once. (Datagrams both ways are the tunnel tests'.)
TEST(UdpSocket, IsNotInheritedAndCloseEndsAReceiveInProgress) {
  constexpr uint16_t kPort = 50999;
  platform::StartSocketLibrary();
  platform::UdpSocketOpening opening =
      platform::OpenConnectedUdpSocket(platform::IpAddress::Ipv4(0x7F000001), kPort);
  ASSERT_TRUE(opening.socket) << "error " << opening.error;
  platform::UdpSocket& socket = *opening.socket;
  EXPECT_EQ(SocketToPortIsInherited(kPort), std::optional<bool>(false));
  std::vector<uint8_t> buffer(65535);
  auto receive = std::async(std::launch::async, [&] { return socket.Receive(buffer); });
  EXPECT_EQ(receive.wait_for(std::chrono::milliseconds(100)), std::future_status::timeout);
  socket.Close();
  ASSERT_EQ(receive.wait_for(std::chrono::seconds(5)), std::future_status::ready);
  EXPECT_LE(receive.get(), 0);
  EXPECT_LE(socket.Receive(buffer), 0);
  EXPECT_EQ(socket.Send(buffer), -1);
}

}  // namespace
}  // namespace orvo_vpn_win_svc
