#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "platform/dynamic_library.h"
#include "runtime/tunnel_library_tables.h"
#include "support/background_process.h"
#include "support/namespace_network.h"
#include "support/network_namespace.h"
#include "support/platform_kind.h"
#include "support/poll.h"
#include "support/tunnel_libraries.h"
#include "support/wireguard_peer.h"

namespace orvo_vpn_win_svc {
namespace {

using orvo_test::WireGuardPeer;
constexpr const char* kServerAddress = WireGuardPeer::kServerAddress;
constexpr uint16_t kServerPort = WireGuardPeer::kPort;

// A small client in the test's namespace that does the carrying job of the service: packets
// from the adapter are wrapped and sent to the server, datagrams from the server unwrapped
// and handed to the adapter. It stops and joins its threads when it goes.
class TunnelDriver {
 public:
  TunnelDriver(const WintunFunctions& wintun, const BoringtunFunctions& wg, void* session,
               WireGuardTunnel tunnel)
      : wintun_(wintun), wg_(wg), session_(session), tunnel_(tunnel) {
    std::vector<uint8_t> handshake(65535);
    const WireGuardResult initiation =
        wg_.wireguard_force_handshake(tunnel_, handshake.data(), 65535);
    if (initiation.op == kWireGuardWriteToNetwork) {
      socket_.SendTo(kServerAddress, kServerPort,
                     std::string(reinterpret_cast<char*>(handshake.data()), initiation.size));
    }
    outbound_ = std::thread([this] { CarryOutbound(); });
    inbound_ = std::thread([this] { CarryInbound(); });
  }

  ~TunnelDriver() {
    running_ = false;
    outbound_.join();
    inbound_.join();
  }

  TunnelDriver(const TunnelDriver&) = delete;
  TunnelDriver& operator=(const TunnelDriver&) = delete;

  int Consumed() const { return consumed_.load(); }

 private:
  void CarryOutbound() {
    std::vector<uint8_t> datagram(65535);
    while (running_) {
      uint32_t size = 0;
      uint8_t* packet = wintun_.ReceivePacket(session_, &size);
      if (packet == nullptr) {
        // The service's send thread polls an empty ring the same way.
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        continue;
      }
      const WireGuardResult result =
          wg_.wireguard_write(tunnel_, packet, size, datagram.data(), 65535);
      wintun_.ReleaseReceivePacket(session_, packet);
      if (result.op == kWireGuardWriteToNetwork) {
        socket_.SendTo(kServerAddress, kServerPort,
                       std::string(reinterpret_cast<char*>(datagram.data()), result.size));
      }
    }
  }

  void CarryInbound() {
    std::vector<uint8_t> packet(65535);
    while (running_) {
      const auto datagram = socket_.Receive(std::chrono::milliseconds(100));
      if (!datagram) {
        continue;
      }
      const WireGuardResult result =
          wg_.wireguard_read(tunnel_, reinterpret_cast<const uint8_t*>(datagram->payload.data()),
                             static_cast<uint32_t>(datagram->payload.size()), packet.data(), 65535);
      if (result.op == 0) {
        ++consumed_;
      } else if (result.op == kWireGuardWriteToTunnelIpv4) {
        uint8_t* buffer = wintun_.AllocateSendPacket(session_, static_cast<uint32_t>(result.size));
        if (buffer != nullptr) {
          std::memcpy(buffer, packet.data(), result.size);
          wintun_.SendPacket(session_, buffer);
        }
      }
    }
  }

  const WintunFunctions& wintun_;
  const BoringtunFunctions& wg_;
  void* session_;
  WireGuardTunnel tunnel_;
  orvo_test::UdpSocket socket_;
  std::atomic<bool> running_{true};
  std::atomic<int> consumed_{0};
  std::thread outbound_;
  std::thread inbound_;
};

// Two network namespaces joined by a veth pair: the stand-in server with its own TUN device
// (10.9.0.1/24) in one, the client with libwintun.so's adapter "ORVO VPN" (10.9.0.2) and the
// stand-in protocol library in the other. A ping from the client to 10.9.0.1 crosses the
// tunnel both ways.
TEST(WireGuardTunnel, PingCrossesTheTunnelToTheStandInServer) {
  if (orvo_test::kWindows) {
    GTEST_SKIP() << "TUN devices and network namespaces are the Linux build's";
  }
  platform::LibraryLoad wintun_load = platform::LoadDynamicLibrary(orvo_test::WintunLibraryPath());
  platform::LibraryLoad wg_load = platform::LoadDynamicLibrary(orvo_test::WireGuardStandInPath());
  ASSERT_NE(wintun_load.library, nullptr) << wintun_load.error_text;
  ASSERT_NE(wg_load.library, nullptr) << wg_load.error_text;
  WintunFunctions wintun;
  BoringtunFunctions wg;
  std::vector<std::string> missing;
  ASSERT_TRUE(orvo_test::FillWintunTable(*wintun_load.library, wintun, missing));
  ASSERT_TRUE(orvo_test::FillBoringtunTable(*wg_load.library, wg, missing));

  std::string why_not;
  const bool ran = orvo_test::RunInNamespaceWithTun(
      [&] {
        orvo_test::WireGuardPeer peer;
        std::string why;
        ASSERT_TRUE(peer.Start(why)) << why;

        void* adapter = wintun.CreateAdapter(L"ORVO VPN", L"WireGuard", nullptr);
        ASSERT_NE(adapter, nullptr);
        void* session = wintun.StartSession(adapter, 0x400000);
        ASSERT_NE(session, nullptr);
        ASSERT_EQ(orvo_test::RunShell("ip addr add 10.9.0.2/32 dev ORVO-VPN"
                                      " && ip route add 10.9.0.0/24 dev ORVO-VPN"),
                  0);
        WireGuardTunnel tunnel =
            wg.new_tunnel(WireGuardPeer::kClientKey, WireGuardPeer::kServerKey, nullptr, 25, 0);
        ASSERT_NE(tunnel, nullptr);
        {
          TunnelDriver driver(wintun, wg, session, tunnel);
          EXPECT_TRUE(orvo_test::PollUntil([&] { return driver.Consumed() >= 1; }))
              << "the server answers the handshake";
          EXPECT_TRUE(orvo_test::Ping("10.9.0.1", std::chrono::seconds(5)))
              << "no echo reply through the tunnel";
        }
        wg.tunnel_free(tunnel);
        wintun.EndSession(session);
        EXPECT_EQ(wintun.DeleteAdapter(adapter), 1);
      },
      why_not);
  if (!ran) {
    GTEST_SKIP() << "SKIPPED, needs root and TUN devices in network namespaces: " << why_not;
  }
}

}  // namespace
}  // namespace orvo_vpn_win_svc
