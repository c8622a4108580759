#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "platform/dynamic_library.h"
#include "runtime/tunnel_library_tables.h"
#include "support/poll.h"
#include "support/tunnel_libraries.h"

namespace orvo_vpn_win_svc {
namespace {

constexpr const char* kClientKey = "yAnz5TF+lXXJte14tji3zlMNq+hd2rYUIgJBgB3fBmk=";
constexpr const char* kServerKey = "xTIBA5rboUvnH4htodjb6e697QjLERt1NAB4mZqp8Dg=";

// An IPv4 (or, with version 6, IPv6) packet of `size` bytes whose header gives that length.
std::vector<uint8_t> IpPacket(int version, size_t size) {
  std::vector<uint8_t> packet(size, 0xAB);
  if (version == 4) {
    packet[0] = 0x45;
    packet[2] = static_cast<uint8_t>(size >> 8);
    packet[3] = static_cast<uint8_t>(size);
  } else {
    packet[0] = 0x60;
    packet[4] = static_cast<uint8_t>((size - 40) >> 8);
    packet[5] = static_cast<uint8_t>(size - 40);
  }
  return packet;
}

// The stand-in protocol library, loaded the way the service loads the real one, and two
// tunnels: a client and the peer that plays the server's part.
class WireGuardStandIn : public ::testing::Test {
 protected:
  void SetUp() override {
    load_ = platform::LoadDynamicLibrary(orvo_test::WireGuardStandInPath());
    ASSERT_NE(load_.library, nullptr) << "error " << load_.error << " " << load_.error_text;
    std::vector<std::string> missing;
    ASSERT_TRUE(orvo_test::FillBoringtunTable(*load_.library, wg_, missing))
        << "missing " << missing.front();
    client_ = wg_.new_tunnel(kClientKey, kServerKey, nullptr, 25, 0);
    server_ = wg_.new_tunnel(kServerKey, kClientKey, nullptr, 0, 0);
    ASSERT_NE(client_, nullptr);
    ASSERT_NE(server_, nullptr);
  }

  void TearDown() override {
    if (load_.library) {
      wg_.tunnel_free(client_);
      wg_.tunnel_free(server_);
    }
  }

  platform::LibraryLoad load_;
  BoringtunFunctions wg_;
  WireGuardTunnel client_ = nullptr;
  WireGuardTunnel server_ = nullptr;
  std::vector<uint8_t> datagram_ = std::vector<uint8_t>(65535);
  std::vector<uint8_t> packet_ = std::vector<uint8_t>(65535);
};

TEST_F(WireGuardStandIn, AcceptsOnlyKeysTheRealLibraryAccepts) {
  struct Case {
    const char* private_key;
    const char* public_key;
    const char* preshared_key;
    bool accepted;
    const char* what;
  };
  const std::string hex(64, 'a');
  const std::string long_key = std::string(kClientKey).substr(0, 43) + "AAAA=";
  const Case cases[] = {
      {kClientKey, kServerKey, nullptr, true, "two keys, no preshared key"},
      {kClientKey, kServerKey, kServerKey, true, "with a preshared key"},
      {"", kServerKey, nullptr, false, "empty private key"},
      {nullptr, kServerKey, nullptr, false, "no private key"},
      {kClientKey, nullptr, nullptr, false, "no public key"},
      {"yAnz5TF+lXXJte14tji3zlMNq+hd2rYUIgJBgB3fBmk", kServerKey, nullptr, false,
       "padding missing"},
      {"yAnz5TF+lXXJte14tji3zlMNq+hd2rYUIgJBgB3fBm=", kServerKey, nullptr, false, "43 chars"},
      {"yAnz5TF+lXXJte14tji3zlMNq+hd2rYUIgJBgB3fBml=", kServerKey, nullptr, false,
       "stray bits in the last character"},
      {"yAnz5TF+lXXJte14tji3zlMNq+hd2rYUIgJBgB3f*mk=", kServerKey, nullptr, false, "not base64"},
      {long_key.c_str(), kServerKey, nullptr, false, "more than 32 bytes"},
      {hex.c_str(), kServerKey, nullptr, false, "hexadecimal"},
      {kClientKey, kServerKey, "short=", false, "bad preshared key"},
  };
  for (const Case& c : cases) {
    WireGuardTunnel tunnel = wg_.new_tunnel(c.private_key, c.public_key, c.preshared_key, 25, 0);
    EXPECT_EQ(tunnel != nullptr, c.accepted) << c.what;
    wg_.tunnel_free(tunnel);
  }
}

TEST_F(WireGuardStandIn, HandshakeIsAnsweredByThePeerAndTheAnswerConsumed) {
  const WireGuardResult initiation =
      wg_.wireguard_force_handshake(client_, datagram_.data(), 65535);
  ASSERT_EQ(initiation.op, kWireGuardWriteToNetwork);
  ASSERT_GT(initiation.size, 0u);
  EXPECT_EQ(datagram_[0], 1) << "WireGuard's type number for an initiation";

  const WireGuardResult response = wg_.wireguard_read(
      server_, datagram_.data(), static_cast<uint32_t>(initiation.size), packet_.data(), 65535);
  ASSERT_EQ(response.op, kWireGuardWriteToNetwork) << "the peer answers with its response";
  EXPECT_EQ(packet_[0], 2);

  const WireGuardResult consumed = wg_.wireguard_read(
      client_, packet_.data(), static_cast<uint32_t>(response.size), datagram_.data(), 65535);
  EXPECT_EQ(consumed.op, 0);
  EXPECT_EQ(consumed.size, 0u);
}

TEST_F(WireGuardStandIn, PacketsCrossInBothDirectionsWithTheirVersionCode) {
  struct Case {
    int version;
    size_t size;
    int32_t code;
  };
  for (const Case c : {Case{4, 20, 4}, Case{4, 1420, 4}, Case{6, 40, 6}, Case{6, 1280, 6}}) {
    const std::vector<uint8_t> sent = IpPacket(c.version, c.size);
    const WireGuardResult wrapped = wg_.wireguard_write(
        client_, sent.data(), static_cast<uint32_t>(sent.size()), datagram_.data(), 65535);
    ASSERT_EQ(wrapped.op, kWireGuardWriteToNetwork);
    const WireGuardResult unwrapped = wg_.wireguard_read(
        server_, datagram_.data(), static_cast<uint32_t>(wrapped.size), packet_.data(), 65535);
    ASSERT_EQ(unwrapped.op, c.code) << "IPv" << c.version << ", " << c.size << " bytes";
    EXPECT_EQ(std::vector<uint8_t>(packet_.begin(),
                                   packet_.begin() + static_cast<std::ptrdiff_t>(unwrapped.size)),
              sent);
  }
}

TEST_F(WireGuardStandIn, UnwrappingKeepsOnlyThePacketItsHeaderDescribes) {
  std::vector<uint8_t> padded = IpPacket(4, 60);
  padded.resize(64, 0);  // padding after the packet, as WireGuard pads to 16 bytes
  const WireGuardResult wrapped = wg_.wireguard_write(
      client_, padded.data(), static_cast<uint32_t>(padded.size()), datagram_.data(), 65535);
  const WireGuardResult unwrapped = wg_.wireguard_read(
      server_, datagram_.data(), static_cast<uint32_t>(wrapped.size), packet_.data(), 65535);
  EXPECT_EQ(unwrapped.op, kWireGuardWriteToTunnelIpv4);
  EXPECT_EQ(unwrapped.size, 60u);
}

TEST_F(WireGuardStandIn, MalformedDatagramsAndShortBuffersAreErrors) {
  const std::vector<uint8_t> ipv4 = IpPacket(4, 100);
  std::vector<uint8_t> data = {4};
  data.insert(data.end(), ipv4.begin(), ipv4.end());
  std::vector<uint8_t> truncated = data;
  truncated.resize(60);
  std::vector<uint8_t> bad_version = data;
  bad_version[1] = 0x55;
  const std::vector<uint8_t> bare_initiation = {1, 'h', 'i'};
  const std::vector<uint8_t> unknown_type = {9, 1, 2, 3};
  struct Case {
    std::vector<uint8_t> datagram;
    uint32_t room;
    const char* what;
  };
  const Case cases[] = {
      {{}, 65535, "empty datagram"},
      {unknown_type, 65535, "unknown type"},
      {bare_initiation, 65535, "initiation without the marker"},
      {{2}, 65535, "response without the marker"},
      {truncated, 65535, "packet shorter than its header says"},
      {bad_version, 65535, "neither IPv4 nor IPv6"},
      {data, 99, "destination smaller than the packet"},
  };
  for (const Case& c : cases) {
    const WireGuardResult result =
        wg_.wireguard_read(server_, c.datagram.data(), static_cast<uint32_t>(c.datagram.size()),
                           packet_.data(), c.room);
    EXPECT_EQ(result.op, 2) << c.what;
    EXPECT_EQ(result.size, 0u) << c.what;
  }
  EXPECT_EQ(wg_.wireguard_write(client_, ipv4.data(), 100, datagram_.data(), 100).op, 2)
      << "no room for the type byte";
  EXPECT_EQ(wg_.wireguard_force_handshake(client_, datagram_.data(), 4).op, 2);
  EXPECT_EQ(wg_.wireguard_read(nullptr, data.data(), 10, packet_.data(), 65535).op, 2);
}

TEST_F(WireGuardStandIn, TickSendsAKeepAliveAfterTheConfiguredSilence) {
  EXPECT_EQ(wg_.wireguard_tick(client_, datagram_.data(), 4096).op, 0) << "25 s have not passed";
  EXPECT_EQ(wg_.wireguard_tick(server_, datagram_.data(), 4096).op, 0) << "keep-alive off";

  WireGuardTunnel eager = wg_.new_tunnel(kClientKey, kServerKey, nullptr, 1, 0);
  WireGuardResult tick{};
  EXPECT_TRUE(orvo_test::PollUntil([&] {
    tick = wg_.wireguard_tick(eager, datagram_.data(), 4096);
    return tick.op == kWireGuardWriteToNetwork;
  }));
  EXPECT_EQ(wg_.wireguard_tick(eager, datagram_.data(), 4096).op, 0) << "just sent one";
  wg_.tunnel_free(eager);
  const WireGuardResult consumed = wg_.wireguard_read(
      server_, datagram_.data(), static_cast<uint32_t>(tick.size), packet_.data(), 65535);
  EXPECT_EQ(consumed.op, 0) << "the peer takes the keep-alive without an answer";
}

TEST_F(WireGuardStandIn, OneTunnelServesSeveralThreadsAtOnce) {
  // The service calls one tunnel from its receive, send and timer threads without a lock.
  const std::vector<uint8_t> ipv4 = IpPacket(4, 200);
  std::vector<uint8_t> wrapped(201);
  wrapped[0] = 4;
  std::copy(ipv4.begin(), ipv4.end(), wrapped.begin() + 1);
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int role = 0; role < 4; ++role) {
    threads.emplace_back([&, role] {
      std::vector<uint8_t> out(65535);
      for (int i = 0; i < 2000; ++i) {
        WireGuardResult result{};
        int32_t expected = 0;
        if (role == 0) {
          result = wg_.wireguard_write(client_, ipv4.data(), 200, out.data(), 65535);
          expected = kWireGuardWriteToNetwork;
        } else if (role == 1) {
          result = wg_.wireguard_read(client_, wrapped.data(), 201, out.data(), 65535);
          expected = kWireGuardWriteToTunnelIpv4;
        } else if (role == 2) {
          result = wg_.wireguard_force_handshake(client_, out.data(), 65535);
          expected = kWireGuardWriteToNetwork;
        } else {
          result = wg_.wireguard_tick(client_, out.data(), 4096);
        }
        if (result.op != expected) {
          ++wrong;
        }
      }
    });
  }
  for (std::thread& thread : threads) {
    thread.join();
  }
  EXPECT_EQ(wrong.load(), 0);
}

}  // namespace
}  // namespace orvo_vpn_win_svc
