#include "runtime/packet_pump.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <string>
#include <vector>

#include "fakes/fake_udp_socket.h"
#include "fakes/fake_wintun_session.h"
#include "fakes/fake_wireguard_library.h"
#include "platform/log_capture.h"
#include "support/gated_sleeper.h"
#include "support/poll.h"

namespace orvo_vpn_win_svc {
namespace {

using std::chrono::milliseconds;
using Strings = std::vector<std::string>;

constexpr milliseconds kSecond{1000};
const std::wstring kForcedLine = L"ORVO_SVC: forced handshake sent\n";

std::string Repeat(const std::string& text, int times) {
  std::string repeated;
  for (int i = 0; i < times; ++i) {
    repeated += text;
  }
  return repeated;
}

int Occurrences(const std::wstring& text, const std::wstring& part) {
  int count = 0;
  for (size_t at = text.find(part); at != std::wstring::npos; at = text.find(part, at + 1)) {
    ++count;
  }
  return count;
}

// The runtime's side of a connection, on fakes: the fields the threads read, a timer whose
// passes the test lets through one by one, and a pump over all of it.
class PacketPumpTest : public ::testing::Test {
 protected:
  PacketPumpTest() { socket_ = std::make_unique<orvo_test::FakeUdpSocket>(); }

  ~PacketPumpTest() override {
    // Whatever a test did, the threads must leave once running is clear and the socket is
    // closed, and Join must return.
    running_ = false;
    if (socket_) {
      socket_->Close();
    }
    sleeper_.Open();
    if (pump_) {
      auto joined = std::async(std::launch::async, [this] { pump_->Join(); });
      EXPECT_EQ(joined.wait_for(std::chrono::seconds(10)), std::future_status::ready)
          << "Join did not return after running was cleared";
    }
  }

  void StartPump(platform::ThreadStarter starter = platform::StartSystemThread) {
    running_ = true;
    pump_ = std::make_unique<PacketPump>(PacketPumpParts{
        .wintun = wintun_,
        .session = session_.Session(),
        .boringtun = boringtun_,
        .tunnel = tunnel_,
        .socket = socket_,
        .running = running_,
        .exclusion_route_upkeep = [this] { ++upkeeps_; },
        .sleeper = sleeper_,
        .start_thread = std::move(starter),
    });
    started_ = pump_->Start();
    if (started_) {
      // The timer is in its first pause; from here on its passes run only when let through.
      ASSERT_TRUE(orvo_test::PollUntil([&] { return sleeper_.Count(kSecond) == 1; }));
    }
  }

  orvo_test::FakeUdpSocket& Socket() {
    return *static_cast<orvo_test::FakeUdpSocket*>(socket_.get());
  }

  // Lets `passes` timer passes run and waits until the timer is back in its pause.
  void RunTimerPasses(int passes) {
    const int pauses = sleeper_.Count(kSecond) + passes;
    sleeper_.Allow(passes);
    ASSERT_TRUE(orvo_test::PollUntil([&] { return sleeper_.Count(kSecond) == pauses; }));
  }

  LogCapture log_;
  orvo_test::FakeWireGuard wireguard_;
  orvo_test::FakeWintunSession session_;
  orvo_test::GatedSleeper sleeper_{kSecond};
  WintunFunctions wintun_ = orvo_test::FakeWintunSession::Table();
  BoringtunFunctions boringtun_ = orvo_test::FakeWireGuard::Table();
  WireGuardTunnel tunnel_ = wireguard_.Tunnel();
  std::unique_ptr<platform::UdpSocket> socket_;
  std::atomic<bool> running_{false};
  std::atomic<int> upkeeps_{0};
  std::unique_ptr<PacketPump> pump_;
  bool started_ = false;
};

TEST_F(PacketPumpTest, ForcesAHandshakeAtStartAndEveryTwentiethTimerPass) {
  wireguard_.SetTickAnswer({1, "keepalive"});
  StartPump();
  ASSERT_TRUE(started_);
  ASSERT_TRUE(orvo_test::PollUntil([&] { return Socket().Sent().size() == 1; }));
  EXPECT_EQ(wireguard_.TakeCalls(), "force_handshake 65535\n");

  RunTimerPasses(60);

  // Passes 20, 40 and 60 force a handshake after their tick; no traffic, so nothing else.
  const std::string twenty = Repeat("tick 4096\n", 20) + "force_handshake 65535\n";
  EXPECT_EQ(wireguard_.TakeCalls(), Repeat(twenty, 3));
  Strings expected_sent = {"handshake"};
  for (int block = 0; block < 3; ++block) {
    expected_sent.insert(expected_sent.end(), 20, "keepalive");
    expected_sent.push_back("handshake");
  }
  EXPECT_EQ(Socket().Sent(), expected_sent);
  EXPECT_EQ(Occurrences(log_.Debugger(), kForcedLine), 3);
  EXPECT_EQ(upkeeps_.load(), 60);
  EXPECT_EQ(log_.StandardError(), "");
}

TEST_F(PacketPumpTest, ATimerResultThatIsNotADatagramSendsNothing) {
  wireguard_.SetTickAnswer({1, ""});  // code 1 with nothing in it
  wireguard_.SetHandshakeAnswer({2, "error"});
  StartPump();
  ASSERT_TRUE(orvo_test::PollUntil([&] { return wireguard_.Count("force_handshake") == 1; }));
  RunTimerPasses(20);
  EXPECT_EQ(wireguard_.Count("force_handshake"), 2);
  EXPECT_EQ(Socket().Sent(), Strings{});
  EXPECT_EQ(Occurrences(log_.Debugger(), kForcedLine), 0);
}

TEST_F(PacketPumpTest, WithoutASocketNothingIsSentAndNoHandshakeIsReported) {
  socket_.reset();
  wireguard_.SetTickAnswer({1, "keepalive"});
  session_.QueueOutbound("packet");
  StartPump();
  RunTimerPasses(20);
  ASSERT_TRUE(orvo_test::PollUntil([&] { return session_.Released() == 1; }));
  EXPECT_EQ(wireguard_.Count("write"), 1);
  EXPECT_EQ(wireguard_.Count("force_handshake"), 2);
  EXPECT_EQ(Occurrences(log_.Debugger(), kForcedLine), 0);
  // The receive thread has no socket to wait on: it pauses 5 ms a pass.
  ASSERT_TRUE(orvo_test::PollUntil([&] { return sleeper_.Count(milliseconds(5)) >= 2; }));
}

TEST_F(PacketPumpTest, OnlyIpv4PacketsFromTheServerReachTheAdapter) {
  StartPump();
  ASSERT_TRUE(orvo_test::PollUntil([&] { return Socket().Sent().size() == 1; }));
  const Strings datagrams = {
      "4:first ipv4",   // into the adapter
      "6:ipv6 packet",  // IPv6: dropped
      "1:reply",        // the library wants a reply sent: not by the receive thread
      "0:",             // consumed
      "4:",             // code 4 with nothing in it
      "L:",             // claims more bytes than the buffer holds
      "2:error",        // an error
      "4:second ipv4",  // into the adapter
  };
  Socket().DeliverFailure();
  for (const std::string& datagram : datagrams) {
    Socket().Deliver(datagram);
  }
  ASSERT_TRUE(orvo_test::PollUntil([&] { return session_.Delivered().size() == 2; }));
  EXPECT_EQ(session_.Delivered(), (Strings{"first ipv4", "second ipv4"}));
  EXPECT_EQ(wireguard_.Count("read"), static_cast<int>(datagrams.size()));
  EXPECT_EQ(Socket().Sent(), Strings{"handshake"});
  EXPECT_GE(sleeper_.Count(milliseconds(5)), 1);  // after the failed receive
  EXPECT_EQ(session_.Outstanding(), 0);
}

TEST_F(PacketPumpTest, AnIpv4PacketIsDroppedWhenTheAdapterHasNoRoomForIt) {
  session_.RefuseAllocations();
  StartPump();
  Socket().Deliver("4:dropped");
  Socket().Deliver("4:also dropped");
  ASSERT_TRUE(orvo_test::PollUntil([&] { return wireguard_.Count("read") == 2; }));
  EXPECT_EQ(session_.Delivered(), Strings{});
}

TEST_F(PacketPumpTest, PacketsFromTheAdapterAreWrappedSentAndReleased) {
  StartPump();
  ASSERT_TRUE(orvo_test::PollUntil([&] { return Socket().Sent().size() == 1; }));
  session_.QueueOutbound("one");
  session_.QueueOutbound("x refused by the library");
  session_.QueueOutbound("three");
  ASSERT_TRUE(orvo_test::PollUntil([&] { return session_.Released() == 3; }));
  ASSERT_TRUE(orvo_test::PollUntil([&] { return Socket().Sent().size() == 3; }));
  EXPECT_EQ(Socket().Sent(), (Strings{"handshake", "wrapped:one", "wrapped:three"}));
  EXPECT_EQ(wireguard_.TakeCalls(),
            "force_handshake 65535\nwrite 3 65535\nwrite 24 65535\nwrite 5 65535\n");
  EXPECT_EQ(session_.Outstanding(), 0);
  // The empty ring is polled with 1 ms pauses.
  EXPECT_GE(sleeper_.Count(milliseconds(1)), 1);
}

TEST_F(PacketPumpTest, AThreadThatCannotBeCreatedIsReportedAndTheOthersStillJoin) {
  int asked = 0;
  StartPump([&](std::function<void()> body, std::thread& thread) {
    if (++asked == 3) {
      return false;  // the send thread
    }
    return platform::StartSystemThread(std::move(body), thread);
  });
  EXPECT_FALSE(started_);
  EXPECT_EQ(asked, 3);  // the timer thread was not asked for
  // The two started threads run: the handshake went out and the receive loop carries packets.
  ASSERT_TRUE(orvo_test::PollUntil([&] { return Socket().Sent().size() == 1; }));
  Socket().Deliver("4:carried");
  ASSERT_TRUE(orvo_test::PollUntil([&] { return session_.Delivered().size() == 1; }));
  EXPECT_EQ(sleeper_.Count(kSecond), 0);
}

TEST_F(PacketPumpTest, JoinWaitsForTheReceiveThreadUntilTheSocketIsClosed) {
  StartPump();
  ASSERT_TRUE(orvo_test::PollUntil([&] { return Socket().Sent().size() == 1; }));
  ASSERT_TRUE(orvo_test::PollUntil([&] { return Socket().Waiting() == 1; }));
  running_ = false;
  sleeper_.Open();
  auto joined = std::async(std::launch::async, [this] { pump_->Join(); });
  // The receive thread is blocked in its receive: clearing running alone does not end it.
  EXPECT_EQ(joined.wait_for(milliseconds(100)), std::future_status::timeout);
  socket_->Close();
  EXPECT_EQ(joined.wait_for(std::chrono::seconds(10)), std::future_status::ready);
}

}  // namespace
}  // namespace orvo_vpn_win_svc
