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

// A peer on the loopback and the service's socket connected to it.
class UdpSocketTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(peer_.Bind("127.0.0.1", 0));
    platform::UdpSocketOpening opening =
        platform::OpenConnectedUdpSocket(kLoopback, peer_.LocalPort());
    ASSERT_TRUE(opening.socket) << "error " << opening.error;
    socket_ = std::move(opening.socket);
  }

  // Sends `payload` to the peer and returns the port it came from, so the peer can answer.
  uint16_t Introduce(const std::string& payload) {
    EXPECT_EQ(socket_->Send(Bytes(payload)), static_cast<int64_t>(payload.size()));
    const auto datagram = peer_.Receive(std::chrono::seconds(5));
    EXPECT_TRUE(datagram.has_value());
    if (!datagram) {
      return 0;
    }
    EXPECT_EQ(datagram->payload, payload);
    return datagram->source_port;
  }

  orvo_test::UdpSocket peer_;
  std::unique_ptr<platform::UdpSocket> socket_;
};

TEST_F(UdpSocketTest, CarriesDatagramsBothWays) {
  const uint16_t port = Introduce("handshake");
  ASSERT_NE(port, 0);
  ASSERT_TRUE(peer_.SendTo("127.0.0.1", port, "response"));
  ASSERT_TRUE(peer_.SendTo("127.0.0.1", port, std::string(1400, 'd')));
  std::vector<uint8_t> buffer(65535);
  int64_t received = socket_->Receive(buffer);
  EXPECT_EQ(Text(buffer, received), "response");
  received = socket_->Receive(buffer);
  EXPECT_EQ(received, 1400);
}

TEST_F(UdpSocketTest, CloseWakesAReceiveInProgressAndEndsTheSocket) {
  const uint16_t port = Introduce("hello");
  std::vector<uint8_t> buffer(65535);
  auto receive = std::async(std::launch::async, [&] { return socket_->Receive(buffer); });
  // Nothing arrives, so the receive stays blocked...
  EXPECT_EQ(receive.wait_for(milliseconds(100)), std::future_status::timeout);
  socket_->Close();
  // ...until the socket is closed.
  ASSERT_EQ(receive.wait_for(std::chrono::seconds(5)), std::future_status::ready);
  EXPECT_LE(receive.get(), 0);
  // Later calls fail at once; a datagram that still arrives is not read.
  ASSERT_TRUE(peer_.SendTo("127.0.0.1", port, "late"));
  EXPECT_LE(socket_->Receive(buffer), 0);
  EXPECT_EQ(socket_->Send(Bytes("after close")), -1);
  EXPECT_FALSE(peer_.Receive(milliseconds(50)).has_value());
}

// sing-box children are started with handle inheritance on; none of them may keep the tunnel's
// socket open after the service has closed it.
TEST_F(UdpSocketTest, IsNotInheritedByChildProcesses) {
  EXPECT_EQ(SocketToPortIsInherited(peer_.LocalPort()), std::optional<bool>(false));
}

TEST(UdpSocketOpening, RefusesAServerThatIsNotIpv4) {
  platform::IpAddress server;
  server.family = platform::IpAddress::Family::kIpv6;
  server.bytes[15] = 1;
  orvo_test::UdpSocket starts_sockets;  // Winsock must be running on Windows
  const platform::UdpSocketOpening opening = platform::OpenConnectedUdpSocket(server, 51820);
  EXPECT_FALSE(opening.socket);
  EXPECT_EQ(opening.failed_step, platform::UdpSocketOpening::Step::kConnect);
  EXPECT_NE(opening.error, 0);
}

}  // namespace
}  // namespace orvo_vpn_win_svc
