// The packet threads of a WireGuard connection on the tunnel-library fake, with the one-second
// timer let through pass by pass.
#include "runtime/packet_pump.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <vector>

#include "fakes/fake_tunnel_libraries.h"
#include "platform/log_capture.h"
#include "support/poll.h"
#include "support/test_clock.h"

namespace orvo_vpn_win_svc {
namespace {

using std::chrono::milliseconds;
using Strings = std::vector<std::string>;
using orvo_test::PollUntil;

class PacketPumpTest : public ::testing::Test {
 protected:
  PacketPumpTest() {
    socket_ = libraries_.OpenSocket(platform::IpAddress::Ipv4(0xCB007107), 51820).socket;
    running_ = true;
    pump_ = std::make_unique<PacketPump>(PacketPumpParts{
        .wintun = wintun_,
        .session = libraries_.Handle(),
        .boringtun = boringtun_,
        .tunnel = tunnel_,
        .socket = socket_,
        .running = running_,
        .exclusion_route_upkeep = [this] { ++upkeeps_; },
        .sleeper = sleeper_,
    });
    EXPECT_TRUE(pump_->Start());
    // The handshake is out and the timer waits in its first pause.
    EXPECT_TRUE(PollUntil([&] { return sleeper_.Count(kSecond) == 1; }));
    EXPECT_TRUE(PollUntil([&] { return libraries_.SentToServer().size() == 1; }));
  }

  ~PacketPumpTest() override {
    running_ = false;
    libraries_.CloseSocket();
    sleeper_.Open();
    pump_.reset();  // joins
  }

  void RunTimerPasses(int passes) {
    const int pauses = sleeper_.Count(kSecond) + passes;
    sleeper_.Allow(passes);
    ASSERT_TRUE(PollUntil([&] { return sleeper_.Count(kSecond) == pauses; }));
  }

  static constexpr milliseconds kSecond{1000};
  LogCapture log_;
  orvo_test::FakeTunnelLibraries libraries_;
  orvo_test::TestClock sleeper_{1, kSecond};
  const WintunFunctions wintun_ = orvo_test::FakeTunnelLibraries::Wintun();
  const BoringtunFunctions boringtun_ = orvo_test::FakeTunnelLibraries::Boringtun();
  const WireGuardTunnel tunnel_ = libraries_.Handle();
  std::unique_ptr<platform::UdpSocket> socket_;
  std::atomic<bool> running_{false};
  std::atomic<int> upkeeps_{0};
  std::unique_ptr<PacketPump> pump_;
};

TEST_F(PacketPumpTest, TimerTicksEachPassAndForcesAHandshakeEveryTwentieth) {
  libraries_.tick_answer = "keepalive";
  RunTimerPasses(40);
  std::string calls = "force_handshake 65535\n";
  Strings sent = {"handshake"};
  for (int block = 0; block < 2; ++block) {
    for (int pass = 0; pass < 20; ++pass) {
      calls += "tick 4096\n";
      sent.push_back("keepalive");
    }
    calls += "force_handshake 65535\n";
    sent.push_back("handshake");
  }
  EXPECT_EQ(libraries_.TakePackets(), calls);
  EXPECT_EQ(libraries_.SentToServer(), sent);
  EXPECT_EQ(log_.Debugger(), L"ORVO_SVC: forced handshake sent\nORVO_SVC: forced handshake sent\n");
  EXPECT_EQ(upkeeps_.load(), 40);
  libraries_.tick_answer = "x: an error, not a datagram for the server";
  RunTimerPasses(1);
  EXPECT_EQ(libraries_.SentToServer(), sent);
}

// Datagrams from the server: only code-4 results with bytes reach the adapter, when it has room.
// Packets from the adapter: wrapped, sent unless the library refuses them, and released either
// way.
TEST_F(PacketPumpTest, CarriesIpv4BothWaysAndReleasesEveryAdapterPacket) {
  const std::string no_room = "4:" + std::string(2000, 'b');
  for (const char* datagram : {"fail", "4:first ipv4", "6:ipv6 packet", "1:reply", "0:", "4:",
                               "L:", "2:error", no_room.c_str(), "4:second ipv4"}) {
    libraries_.FromServer(datagram);
  }
  for (const char* packet : {"one", "x refused by the library", "three"}) {
    libraries_.FromAdapter(packet);
  }
  ASSERT_TRUE(PollUntil([&] {
    return libraries_.Reads() == 9 && libraries_.SentToServer().size() == 3 &&
           libraries_.Unreleased() == 0;
  })) << libraries_.Unreleased()
      << " adapter packets never released";
  EXPECT_EQ(libraries_.HandedToAdapter(), (Strings{"first ipv4", "second ipv4"}));
  EXPECT_EQ(libraries_.SentToServer(), (Strings{"handshake", "wrapped:one", "wrapped:three"}));
}

}  // namespace
}  // namespace orvo_vpn_win_svc
