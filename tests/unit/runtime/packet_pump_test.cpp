// The packet threads of a WireGuard connection on the real tunnel libraries: libwintun.so with
// its TUN device in a network namespace of the test's own, and the WireGuard stand-in, whose
// datagrams are a type byte and the packet in clear. The test plays the server on loopback,
// lets the one-second timer through pass by pass, and puts in place of a library's entry point
// only the faults no real library gives on demand.
#if defined(__linux__)
#include "runtime/packet_pump.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <atomic>
#include <cstring>
#include <string>

#include "platform/log_capture.h"
#include "platform/posix/file_descriptor.h"
#include "support/network_namespace.h"
#include "support/poll.h"
#include "support/test_clock.h"
#include "support/tunnel_libraries.h"

namespace orvo_vpn_win_svc {
namespace {

constexpr std::chrono::milliseconds kSecond{1000};
const std::string kHandshake = std::string("\x01") + "orvo-wg-stand-in";

sockaddr_in Address(const char* address, uint16_t port) {
  sockaddr_in socket_address{};
  socket_address.sin_family = AF_INET;
  socket_address.sin_port = htons(port);
  inet_pton(AF_INET, address, &socket_address.sin_addr);
  return socket_address;
}

// A UDP socket of the test's; a receive waits 5 s at most, then gives "(none)".
class Udp {
 public:
  explicit Udp(const sockaddr_in& self) {
    const timeval patience{5, 0};
    setsockopt(fd_.Get(), SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof(patience));
    bind(fd_.Get(), reinterpret_cast<const sockaddr*>(&self), sizeof(self));
  }
  void Send(const std::string& datagram, const sockaddr_in& to) const {
    sendto(fd_.Get(), datagram.data(), datagram.size(), 0, reinterpret_cast<const sockaddr*>(&to),
           sizeof(to));
  }
  std::string Receive(sockaddr_in* from = nullptr) const {
    std::string datagram(65536, '\0');
    socklen_t length = sizeof(sockaddr_in);
    const ssize_t size = recvfrom(fd_.Get(), datagram.data(), datagram.size(), 0,
                                  reinterpret_cast<sockaddr*>(from), from ? &length : nullptr);
    return size < 0 ? "(none)" : datagram.substr(0, static_cast<size_t>(size));
  }

 private:
  platform::FileDescriptor fd_{socket(AF_INET, SOCK_DGRAM, 0)};
};

// The faults: an adapter ring with no room, and tick results the stand-in does not give on
// demand (it sends a keep-alive after 25 s of silence, never an error with bytes).
WintunFunctions real_wintun;
std::atomic<bool> adapter_full{false};
std::atomic<int> refused_allocations{0};
std::atomic<int32_t> tick_code{1};

uint8_t* AllocateUnlessFull(WintunSessionHandle session, uint32_t size) {
  if (adapter_full) {
    ++refused_allocations;
    return nullptr;
  }
  return real_wintun.AllocateSendPacket(session, size);
}

WireGuardResult ScriptedTick(WireGuardTunnel, uint8_t* out, uint32_t) {
  const std::string bytes = tick_code == 1 ? "keepalive" : "an error";
  std::memcpy(out, bytes.data(), bytes.size());
  return {tick_code, bytes.size()};
}

// Both ways: the adapter's packets to the server (more than the adapter's receive ring holds
// unless each is released), reflected there and handed back to the adapter, but for the one the
// adapter has no room for; the timer's ticks, and a forced handshake every 20th pass.
TEST(PacketPump, CarriesPacketsBothWaysAndRunsTheTimerOnTheRealLibraries) {
  std::string why_not;
  const bool ran = orvo_test::RunInNamespaceWithTun([] {
    LogCapture log;
    LoadedTunnelLibrary<WintunFunctions> wintun_library;
    LoadedTunnelLibrary<BoringtunFunctions> boringtun_library;
    const LibraryLoader load = orvo_test::TunnelLibraryLoader();
    ASSERT_TRUE(LoadWintunLibrary(load, wintun_library));
    ASSERT_TRUE(LoadBoringtunLibrary(load, boringtun_library));
    real_wintun = wintun_library.table;
    WintunFunctions wintun = real_wintun;
    wintun.AllocateSendPacket = AllocateUnlessFull;
    BoringtunFunctions boringtun = boringtun_library.table;
    boringtun.wireguard_tick = ScriptedTick;
    // Without IPv6 on the adapter no solicitation of the kernel's own crosses the tunnel.
    ASSERT_EQ(orvo_test::RunShell("echo 1 > /proc/sys/net/ipv6/conf/default/disable_ipv6"), 0);
    void* adapter = wintun.CreateAdapter(L"ORVO VPN", L"WireGuard", nullptr);
    const WintunSessionHandle session = wintun.StartSession(adapter, 0x400000);
    ASSERT_NE(session, nullptr);
    ASSERT_EQ(orvo_test::RunShell("ip addr add 10.9.0.2/24 dev ORVO-VPN && "
                                  "ip link set ORVO-VPN mtu 65535"),
              0);
    // The keys and port the stand-in protocol library's server side answers to.
    constexpr char kClientKey[] = "yAnz5TF+lXXJte14tji3zlMNq+hd2rYUIgJBgB3fBmk=";
    constexpr char kServerKey[] = "xTIBA5rboUvnH4htodjb6e697QjLERt1NAB4mZqp8Dg=";
    constexpr uint16_t kPort = 51820;
    const WireGuardTunnel tunnel =
        boringtun.new_tunnel(kClientKey, kServerKey, nullptr, 0, 0);
    const Udp server(Address("127.0.0.1", kPort));
    const Udp client(Address("10.9.0.2", 4000));
    const sockaddr_in far_end = Address("10.9.0.1", 9);
    std::unique_ptr<platform::UdpSocket> socket =
        platform::OpenConnectedUdpSocket(platform::IpAddress::Ipv4(0x7F000001), kPort).socket;
    ASSERT_NE(socket, nullptr);
    std::atomic<bool> running{true};
    std::atomic<int> upkeeps{0};
    orvo_test::TestClock sleeper(1, kSecond);
    log.Clear();
    PacketPump pump({wintun, session, boringtun, tunnel, socket, running, [&] { ++upkeeps; },
                     sleeper});
    // From here on no assertion may leave before the threads are told to stop.
    sockaddr_in pump_address{};
    EXPECT_TRUE(pump.Start());
    EXPECT_EQ(server.Receive(&pump_address), kHandshake);
    // A data datagram's packet back to its sender: the addresses and the ports change places,
    // which leaves both checksums as they are.
    const auto reflect = [&](std::string datagram) {
      if (datagram.size() < 29 || datagram[0] != 4) {
        ADD_FAILURE() << "not a data datagram: " << datagram.substr(0, 40);
        return;
      }
      const auto ports = datagram.begin() + 1 + (datagram[1] & 0xF) * 4;
      std::swap_ranges(datagram.begin() + 13, datagram.begin() + 17, datagram.begin() + 17);
      std::swap_ranges(ports, ports + 2, ports + 2);
      server.Send(datagram, pump_address);
    };
    for (int i = 0; i < 80 && !HasFailure(); ++i) {
      const std::string payload = std::to_string(i) + std::string(60000, 'p');
      client.Send(payload, far_end);
      reflect(server.Receive());
      EXPECT_EQ(client.Receive(), payload) << "packet " << i << " did not come back";
    }
    adapter_full = true;
    client.Send("dropped", far_end);
    reflect(server.Receive());
    EXPECT_TRUE(orvo_test::PollUntil([] { return refused_allocations > 0; }));
    adapter_full = false;
    client.Send("carried", far_end);
    reflect(server.Receive());
    EXPECT_EQ(client.Receive(), "carried");

    // Each pass ticks; a result that is not for the network is not sent, whatever bytes came
    // with it.
    std::string expected;
    int passes = 0;
    const auto timer_waits = [&] { return sleeper.Count(kSecond) == passes + 1; };
    for (const int32_t code : {1, 2, 1}) {
      for (int pass = 0; pass < 20; ++pass, ++passes) {
        EXPECT_TRUE(orvo_test::PollUntil(timer_waits));
        tick_code = code;
        sleeper.Allow(1);
        expected += code == 1 ? "keepalive\n" : "";
      }
      expected += "handshake\n";
    }
    std::string received;
    while (received.size() < expected.size() && !received.ends_with("(none)\n")) {
      const std::string datagram = server.Receive();
      received += (datagram == kHandshake ? "handshake" : datagram) + "\n";
    }
    EXPECT_EQ(received, expected);
    EXPECT_TRUE(orvo_test::PollUntil(timer_waits));
    EXPECT_EQ(upkeeps.load(), 60);
    EXPECT_EQ(log.Debugger(), L"ORVO_SVC: forced handshake sent\nORVO_SVC: forced handshake sent\n"
                              L"ORVO_SVC: forced handshake sent\n");
    running = false;
    socket->Close();
    sleeper.Open();
    pump.Join();
    boringtun.tunnel_free(tunnel);
    wintun.EndSession(session);
    wintun.DeleteAdapter(adapter);
  }, why_not);
  if (!ran) {
    GTEST_SKIP() << "SKIPPED LOUDLY: needs root, namespaces and /dev/net/tun: " << why_not;
  }
}

}  // namespace
}  // namespace orvo_vpn_win_svc
#endif
