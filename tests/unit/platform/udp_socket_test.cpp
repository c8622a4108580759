#include "platform/udp_socket.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <optional>
#include <string>
#include <vector>

#include "support/udp_test_socket.h"

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>

#include <windows.h>
#else
#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/socket.h>

#include <filesystem>
#endif

namespace orvo_vpn_win_svc {
namespace {

using std::chrono::milliseconds;

const platform::IpAddress kLoopback = platform::IpAddress::Ipv4(0x7F000001);

std::string Text(const std::vector<uint8_t>& bytes, int64_t size) {
  return std::string(reinterpret_cast<const char*>(bytes.data()), static_cast<size_t>(size));
}

std::span<const uint8_t> Bytes(const std::string& text) {
  return {reinterpret_cast<const uint8_t*>(text.data()), text.size()};
}

// Whether this process's socket connected to 127.0.0.1:`port` would pass to a child process
// (HANDLE_FLAG_INHERIT on Windows, no FD_CLOEXEC on Linux); nothing when there is none.
std::optional<bool> SocketToPortIsInherited(uint16_t port) {
  const auto connected_to_port = [port](auto socket) {
    sockaddr_in peer{};
    socklen_t length = sizeof(peer);
    return getpeername(socket, reinterpret_cast<sockaddr*>(&peer), &length) == 0 &&
           peer.sin_family == AF_INET && ntohs(peer.sin_port) == port;
  };
#ifdef _WIN32
  // Socket handles are kernel handles; this process has far fewer than these.
  for (uintptr_t value = 4; value < 0x10000; value += 4) {
    DWORD flags = 0;
    if (connected_to_port(static_cast<SOCKET>(value)) &&
        GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags)) {
      return (flags & HANDLE_FLAG_INHERIT) != 0;
    }
  }
#else
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    const int fd = std::stoi(entry.path().filename().string());
    if (connected_to_port(fd)) {
      return (fcntl(fd, F_GETFD) & FD_CLOEXEC) == 0;
    }
  }
#endif
  return std::nullopt;
}

// The service's socket connected to a peer on the loopback carries datagrams both ways; Close
// wakes a receive in progress, later calls fail at once; children never inherit it (sing-box
// children are started with handle inheritance on).
TEST(UdpSocket, CarriesDatagramsUntilClosedAndIsNotInherited) {
  orvo_test::UdpSocket peer;
  ASSERT_TRUE(peer.Bind("127.0.0.1", 0));
  platform::UdpSocketOpening opening = platform::OpenConnectedUdpSocket(kLoopback, peer.LocalPort());
  ASSERT_TRUE(opening.socket) << "error " << opening.error;
  platform::UdpSocket& socket = *opening.socket;
  EXPECT_EQ(SocketToPortIsInherited(peer.LocalPort()), std::optional<bool>(false));
  ASSERT_EQ(socket.Send(Bytes("handshake")), 9);
  const auto datagram = peer.Receive(std::chrono::seconds(5));
  ASSERT_TRUE(datagram.has_value());
  EXPECT_EQ(datagram->payload, "handshake");
  ASSERT_TRUE(peer.SendTo("127.0.0.1", datagram->source_port, "response"));
  ASSERT_TRUE(peer.SendTo("127.0.0.1", datagram->source_port, std::string(1400, 'd')));
  std::vector<uint8_t> buffer(65535);
  EXPECT_EQ(Text(buffer, socket.Receive(buffer)), "response");
  EXPECT_EQ(socket.Receive(buffer), 1400);

  auto receive = std::async(std::launch::async, [&] { return socket.Receive(buffer); });
  EXPECT_EQ(receive.wait_for(milliseconds(100)), std::future_status::timeout);
  socket.Close();
  ASSERT_EQ(receive.wait_for(std::chrono::seconds(5)), std::future_status::ready);
  EXPECT_LE(receive.get(), 0);
  ASSERT_TRUE(peer.SendTo("127.0.0.1", datagram->source_port, "late"));
  EXPECT_LE(socket.Receive(buffer), 0);
  EXPECT_EQ(socket.Send(Bytes("after close")), -1);
}

}  // namespace
}  // namespace orvo_vpn_win_svc
