#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "platform/dynamic_library.h"
#include "platform/posix/linux_luid.h"
#include "runtime/tunnel_library_tables.h"
#include "support/ipv4_udp_packet.h"
#include "support/namespace_network.h"
#include "support/network_namespace.h"
#include "support/platform_kind.h"
#include "support/poll.h"
#include "support/tunnel_libraries.h"

namespace orvo_vpn_win_svc {
namespace {

using orvo_test::Ipv4Address;
using orvo_test::LinkIndex;
using orvo_test::ShellOutput;

constexpr uint32_t kRingCapacity = 0x400000;
constexpr Ipv4Address kLocal = {10, 77, 0, 1};  // the kernel's address on the adapter
constexpr Ipv4Address kPeer = {10, 77, 0, 2};   // a host behind the adapter
// Windows error codes the library reports through errno.
constexpr int kErrorFileNotFound = 2;
constexpr int kErrorInvalidHandle = 6;
constexpr int kErrorHandleEof = 38;
constexpr int kErrorInvalidParameter = 87;
constexpr int kErrorBusy = 170;
constexpr int kErrorAlreadyExists = 183;
constexpr int kErrorNoMoreItems = 259;

// libwintun.so, loaded and looked up the way the service does it. The tests that make devices
// run in a network namespace of their own and skip, saying why, where that is impossible.
class WintunLibrary : public ::testing::Test {
 protected:
  void SetUp() override {
    if (orvo_test::kWindows) {
      GTEST_SKIP() << "libwintun.so belongs to the Linux build";
    }
    load_ = platform::LoadDynamicLibrary(orvo_test::WintunLibraryPath());
    ASSERT_NE(load_.library, nullptr) << load_.error_text;
    std::vector<std::string> missing;
    ASSERT_TRUE(orvo_test::FillWintunTable(*load_.library, wintun_, missing))
        << "missing " << missing.front();
  }

  void InOwnNamespace(const std::function<void()>& body) {
    std::string why_not;
    if (!orvo_test::RunInNamespaceWithTun(body, why_not)) {
      GTEST_SKIP() << "SKIPPED, needs root and TUN devices in a network namespace: " << why_not;
    }
  }

  // An adapter "ORVO VPN" with a session, the kernel's address kLocal/24 on it.
  bool StartAdapterWithAddress(void*& adapter, void*& session) {
    adapter = wintun_.CreateAdapter(L"ORVO VPN", L"WireGuard", nullptr);
    session = adapter != nullptr ? wintun_.StartSession(adapter, kRingCapacity) : nullptr;
    return session != nullptr && orvo_test::RunShell("ip addr add 10.77.0.1/24 dev ORVO-VPN") == 0;
  }

  // Receives packets (releasing each) until one is the UDP datagram `wanted` describes.
  bool ReceiveUdp(void* session, const orvo_test::Ipv4UdpView& wanted) {
    return orvo_test::PollUntil([&] {
      uint32_t size = 0;
      uint8_t* packet = wintun_.ReceivePacket(session, &size);
      if (packet == nullptr) {
        return false;
      }
      const auto udp = orvo_test::ReadIpv4UdpPacket(packet, size);
      wintun_.ReleaseReceivePacket(session, packet);
      return udp && udp->destination == wanted.destination &&
             udp->destination_port == wanted.destination_port && udp->payload == wanted.payload;
    });
  }

  void Send(void* session, const std::vector<uint8_t>& packet) {
    uint8_t* buffer = wintun_.AllocateSendPacket(session, static_cast<uint32_t>(packet.size()));
    ASSERT_NE(buffer, nullptr) << "errno " << errno;
    std::memcpy(buffer, packet.data(), packet.size());
    wintun_.SendPacket(session, buffer);
  }

  uint64_t Luid(void* adapter) {
    uint64_t luid = 0;
    wintun_.GetAdapterLUID(adapter, &luid);
    return luid;
  }

  platform::LibraryLoad load_;
  WintunFunctions wintun_;
};

TEST_F(WintunLibrary, RefusesNamesALinuxLinkCannotCarry) {
  struct Case {
    const wchar_t* name;
    const wchar_t* tunnel_type;
  };
  const std::wstring long_type(300, L'x');
  for (const Case c : {Case{L"a/b", L"WireGuard"}, Case{L"sixteen-chars-xx", L"WireGuard"},
                       Case{L"", L"WireGuard"}, Case{L"ok", long_type.c_str()}}) {
    errno = 0;
    EXPECT_EQ(wintun_.CreateAdapter(c.name, c.tunnel_type, nullptr), nullptr);
    EXPECT_EQ(errno, kErrorInvalidParameter);
  }
  errno = 0;
  EXPECT_EQ(wintun_.OpenAdapter(nullptr), nullptr);
  EXPECT_EQ(errno, kErrorInvalidParameter);
}

TEST_F(WintunLibrary, CreatesATunLinkWhoseAliasNamesWintunAndWhoseLuidGivesItsIndex) {
  InOwnNamespace([&] {
    const int descriptors = orvo_test::CountOpenDescriptors();
    const int threads = orvo_test::CountThreads();
    void* adapter = wintun_.CreateAdapter(L"ORVO VPN", L"WireGuard", nullptr);
    ASSERT_NE(adapter, nullptr) << "errno " << errno;

    const std::string link = ShellOutput("ip -d link show dev ORVO-VPN");
    EXPECT_NE(link.find("alias WireGuard (Wintun)"), std::string::npos) << link;
    EXPECT_NE(link.find("tun type tun pi off"), std::string::npos) << link;
    EXPECT_NE(link.find("persist on"), std::string::npos) << link;
    const int index = LinkIndex("ORVO-VPN");
    EXPECT_EQ(platform::InterfaceIndexFromLuid(Luid(adapter)), index);

    void* opened = wintun_.OpenAdapter(L"ORVO VPN");
    ASSERT_NE(opened, nullptr) << "errno " << errno;
    EXPECT_NE(opened, adapter) << "each call gives a handle of its own";
    EXPECT_EQ(Luid(opened), Luid(adapter));
    errno = 0;
    EXPECT_EQ(wintun_.CreateAdapter(L"ORVO VPN", L"WireGuard", nullptr), nullptr);
    EXPECT_EQ(errno, kErrorAlreadyExists);

    wintun_.CloseAdapter(opened);
    EXPECT_EQ(LinkIndex("ORVO-VPN"), index) << "closing an opened adapter keeps the device";
    EXPECT_EQ(wintun_.DeleteAdapter(adapter), 1);
    EXPECT_EQ(LinkIndex("ORVO-VPN"), 0);
    errno = 0;
    EXPECT_EQ(wintun_.OpenAdapter(L"ORVO VPN"), nullptr);
    EXPECT_EQ(errno, kErrorFileNotFound);

    void* closed = wintun_.CreateAdapter(L"ORVO VPN", L"WireGuard", nullptr);
    ASSERT_NE(closed, nullptr);
    wintun_.CloseAdapter(closed);
    EXPECT_EQ(LinkIndex("ORVO-VPN"), 0) << "closing the adapter it created removes the device";

    EXPECT_EQ(orvo_test::CountOpenDescriptors(), descriptors);
    EXPECT_EQ(orvo_test::CountThreads(), threads);
  });
}

TEST_F(WintunLibrary, OpensTunDevicesOnly) {
  InOwnNamespace([&] {
    struct Case {
      const char* make;
      bool opens;
    };
    for (const Case c : {Case{"ip tuntap add dev ORVO-VPN mode tun", true},
                         Case{"ip tuntap add dev ORVO-VPN mode tap", false},
                         Case{"ip link add ORVO-VPN type veth peer name orvo-peer", false}}) {
      ASSERT_EQ(orvo_test::RunShell(c.make), 0) << c.make;
      errno = 0;
      void* adapter = wintun_.OpenAdapter(L"ORVO VPN");
      EXPECT_EQ(adapter != nullptr, c.opens) << c.make;
      if (adapter != nullptr) {
        void* session = wintun_.StartSession(adapter, kRingCapacity);
        EXPECT_NE(session, nullptr) << "a device someone else made carries a session too";
        wintun_.EndSession(session);
        wintun_.CloseAdapter(adapter);
        EXPECT_NE(LinkIndex("ORVO-VPN"), 0) << "not ours to remove on close";
      } else {
        EXPECT_EQ(errno, kErrorFileNotFound) << c.make;
        errno = 0;
        EXPECT_EQ(wintun_.CreateAdapter(L"ORVO VPN", L"WireGuard", nullptr), nullptr);
        EXPECT_EQ(errno, kErrorAlreadyExists) << "the name is taken";
      }
      ASSERT_EQ(orvo_test::RunShell("ip link del ORVO-VPN"), 0);
    }
  });
}

TEST_F(WintunLibrary, SessionCarriesPacketsBothWaysAndLeavesNothingBehind) {
  InOwnNamespace([&] {
    const int descriptors = orvo_test::CountOpenDescriptors();
    const int threads = orvo_test::CountThreads();
    void* adapter = nullptr;
    void* session = nullptr;
    ASSERT_TRUE(StartAdapterWithAddress(adapter, session)) << "errno " << errno;
    EXPECT_NE(ShellOutput("ip -o link show dev ORVO-VPN").find(",UP"), std::string::npos)
        << "a session raises the link";

    {
      // The kernel routes a datagram for a host behind the adapter into the session.
      orvo_test::UdpSocket local;
      ASSERT_TRUE(local.SendTo("10.77.0.2", 9999, "into the adapter"));
      orvo_test::Ipv4UdpView wanted;
      wanted.destination = kPeer;
      wanted.destination_port = 9999;
      wanted.payload = "into the adapter";
      EXPECT_TRUE(ReceiveUdp(session, wanted));

      // A packet sent on the session reaches a socket of the kernel.
      orvo_test::UdpSocket listener;
      ASSERT_TRUE(listener.Bind("10.77.0.1", 0));
      Send(session, orvo_test::BuildIpv4UdpPacket(kPeer, 4000, kLocal, listener.LocalPort(),
                                                  "out of the adapter"));
      const auto received = listener.Receive(std::chrono::seconds(5));
      ASSERT_TRUE(received.has_value());
      EXPECT_EQ(received->payload, "out of the adapter");
      EXPECT_EQ(received->source_address, "10.77.0.2");
      EXPECT_EQ(received->source_port, 4000);
    }

    wintun_.EndSession(session);
    EXPECT_EQ(wintun_.DeleteAdapter(adapter), 1);
    EXPECT_EQ(LinkIndex("ORVO-VPN"), 0);
    EXPECT_EQ(orvo_test::CountOpenDescriptors(), descriptors);
    EXPECT_EQ(orvo_test::CountThreads(), threads);
  });
}

TEST_F(WintunLibrary, OneThreadReceivesWhileAnotherSends) {
  InOwnNamespace([&] {
    void* adapter = nullptr;
    void* session = nullptr;
    ASSERT_TRUE(StartAdapterWithAddress(adapter, session)) << "errno " << errno;
    // The sender's packets reach an echo socket of the kernel, whose answers the kernel routes
    // back into the adapter, where the receiver counts them.
    orvo_test::UdpSocket echo;
    ASSERT_TRUE(echo.Bind("10.77.0.1", 0));
    const uint16_t echo_port = echo.LocalPort();
    constexpr int kPackets = 300;
    std::atomic<int> echoed{0};
    std::atomic<int> answers{0};
    std::atomic<bool> stop{false};

    std::thread sender([&] {
      for (int i = 0; i < kPackets && !stop; ++i) {
        // At most 64 in flight, so no socket buffer on the way overflows.
        orvo_test::PollUntil([&] { return i - echoed.load() < 64 || stop; });
        Send(session, orvo_test::BuildIpv4UdpPacket(kPeer, 4000, kLocal, echo_port,
                                                    "packet " + std::to_string(i)));
      }
    });
    std::thread receiver([&] {
      orvo_test::PollUntil(
          [&] {
            uint32_t size = 0;
            while (uint8_t* packet = wintun_.ReceivePacket(session, &size)) {
              const auto udp = orvo_test::ReadIpv4UdpPacket(packet, size);
              if (udp && udp->destination == kPeer && udp->destination_port == 4000) {
                ++answers;
              }
              wintun_.ReleaseReceivePacket(session, packet);
            }
            return answers.load() == kPackets || stop;
          },
          std::chrono::seconds(20));
    });
    for (int i = 0; i < kPackets; ++i) {
      const auto datagram = echo.Receive(std::chrono::seconds(5));
      if (!datagram) {
        break;
      }
      echo.SendTo(datagram->source_address, datagram->source_port, datagram->payload);
      ++echoed;
    }
    EXPECT_EQ(echoed.load(), kPackets);
    EXPECT_TRUE(
        orvo_test::PollUntil([&] { return answers.load() == kPackets; }, std::chrono::seconds(10)));
    stop = true;
    sender.join();
    receiver.join();
    EXPECT_EQ(answers.load(), kPackets);
    wintun_.EndSession(session);
    wintun_.DeleteAdapter(adapter);
  });
}

TEST_F(WintunLibrary, ReportsAnEmptyRingAndADeviceThatWasRemovedUnderTheSession) {
  InOwnNamespace([&] {
    void* adapter = wintun_.CreateAdapter(L"ORVO VPN", L"WireGuard", nullptr);
    ASSERT_NE(adapter, nullptr);
    void* session = wintun_.StartSession(adapter, kRingCapacity);
    ASSERT_NE(session, nullptr);
    // The kernel may have sent something already (IPv6 solicitations); once that is taken,
    // the ring is empty.
    EXPECT_TRUE(orvo_test::PollUntil([&] {
      uint32_t size = 0;
      errno = 0;
      uint8_t* packet = wintun_.ReceivePacket(session, &size);
      if (packet == nullptr) {
        return errno == kErrorNoMoreItems;
      }
      wintun_.ReleaseReceivePacket(session, packet);
      return false;
    }));

    // The service's clean-up of stale adapters removes the device before the session ends.
    ASSERT_EQ(orvo_test::RunShell("ip link del ORVO-VPN"), 0);
    uint32_t size = 0;
    errno = 0;
    EXPECT_EQ(wintun_.ReceivePacket(session, &size), nullptr);
    EXPECT_EQ(errno, kErrorHandleEof);
    wintun_.EndSession(session);
    EXPECT_EQ(wintun_.DeleteAdapter(adapter), 1) << "a device already gone counts as removed";
  });
}

TEST_F(WintunLibrary, RefusesBadSessionArgumentsSecondSessionsAndStaleHandles) {
  InOwnNamespace([&] {
    void* adapter = wintun_.CreateAdapter(L"ORVO VPN", L"WireGuard", nullptr);
    ASSERT_NE(adapter, nullptr);
    for (const uint32_t capacity : {0u, 0x1000u, 0x30000u, 0x8000000u}) {
      errno = 0;
      EXPECT_EQ(wintun_.StartSession(adapter, capacity), nullptr) << std::hex << capacity;
      EXPECT_EQ(errno, kErrorInvalidParameter);
    }
    void* session = wintun_.StartSession(adapter, 0x20000);
    ASSERT_NE(session, nullptr) << "errno " << errno;
    errno = 0;
    EXPECT_EQ(wintun_.StartSession(adapter, kRingCapacity), nullptr);
    EXPECT_EQ(errno, kErrorBusy) << "one session per device";

    for (const uint32_t size : {0u, 0x10000u}) {
      errno = 0;
      EXPECT_EQ(wintun_.AllocateSendPacket(session, size), nullptr);
      EXPECT_EQ(errno, kErrorInvalidParameter);
    }
    const uint8_t stranger[8] = {};
    errno = 0;
    wintun_.ReleaseReceivePacket(session, stranger);
    EXPECT_EQ(errno, kErrorInvalidParameter);
    errno = 0;
    wintun_.SendPacket(session, stranger);
    EXPECT_EQ(errno, kErrorInvalidParameter);

    wintun_.EndSession(session);
    errno = 0;
    wintun_.EndSession(session);
    EXPECT_EQ(errno, kErrorInvalidHandle);
    uint32_t size = 0;
    errno = 0;
    EXPECT_EQ(wintun_.ReceivePacket(session, &size), nullptr);
    EXPECT_EQ(errno, kErrorInvalidHandle);
    errno = 0;
    EXPECT_EQ(wintun_.StartSession(session, kRingCapacity), nullptr)
        << "a session handle is no adapter handle";
    EXPECT_EQ(errno, kErrorInvalidHandle);

    void* again = wintun_.StartSession(adapter, kRingCapacity);
    EXPECT_NE(again, nullptr) << "the device is free once the session ended";
    wintun_.EndSession(again);
    EXPECT_EQ(wintun_.DeleteAdapter(adapter), 1);
    errno = 0;
    EXPECT_EQ(wintun_.DeleteAdapter(adapter), 0);
    EXPECT_EQ(errno, kErrorInvalidHandle);
    EXPECT_EQ(Luid(adapter), 0u);
  });
}

}  // namespace
}  // namespace orvo_vpn_win_svc
