// The rtnetlink side of the IP Helper seam against the kernel's own tables, each test in a
// network namespace of its own (root on Linux); `ip` shows what the kernel made of each call.
#include <gtest/gtest.h>

#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "fakes/fake_ip_helper.h"
#include "platform/dynamic_library.h"
#include "platform/ip_helper.h"
#include "platform/log_capture.h"
#include "platform/posix/linux_luid.h"
#include "runtime/exclusion_route_upkeep.h"
#include "runtime/tunnel_library_tables.h"
#include "support/namespace_network.h"
#include "support/network_namespace.h"
#include "support/platform_kind.h"
#include "support/tunnel_libraries.h"

namespace orvo_vpn_win_svc {
namespace {

using orvo_test::FakeIpHelper;
using orvo_test::LinkIndex;
using orvo_test::RunShell;
using orvo_test::ShellOutput;
using platform::ForwardRow;
using platform::InterfaceRow;
using platform::IpAddress;

// Linux error numbers the seam passes on.
constexpr uint32_t kEexist = 17;
constexpr uint32_t kEinval = 22;
constexpr uint32_t kEaddrnotavail = 99;
constexpr uint32_t kEnetunreach = 101;
constexpr uint32_t kEnodev = 19;
constexpr uint32_t kEsrch = 3;

platform::InterfaceLuid Luid(const std::string& link) {
  return platform::LuidFromInterfaceIndex(LinkIndex(link));
}

std::string Hex(platform::InterfaceLuid luid) {
  std::ostringstream text;
  text << "0x" << std::hex << luid;
  return text.str();
}

// A route through `link` with the service's protocol (1).
ForwardRow Route(uint32_t destination, uint8_t prefix_length, uint32_t next_hop,
                 const std::string& link, uint32_t metric) {
  return FakeIpHelper::Ipv4Route(destination, prefix_length, next_hop, Luid(link), metric, 1);
}

std::vector<std::string> Describe(const std::vector<ForwardRow>& rows) {
  std::vector<std::string> texts;
  for (const ForwardRow& row : rows) {
    texts.push_back(FakeIpHelper::Describe(row));
  }
  return texts;
}

const InterfaceRow* FindInterface(const std::vector<InterfaceRow>& rows,
                                  platform::InterfaceLuid luid) {
  for (const InterfaceRow& row : rows) {
    if (row.luid == luid) {
      return &row;
    }
  }
  return nullptr;
}

bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

class RtnetlinkIpHelper : public ::testing::Test {
 protected:
  void SetUp() override {
    if (orvo_test::kWindows) {
      GTEST_SKIP() << "rtnetlink belongs to the Linux build";
    }
  }

  // Runs `body` in a fresh namespace with two veth pairs, raised: orvo-a (192.0.2.1/24, its
  // peer orvo-b) and orvo-c (198.51.100.1/24, its peer orvo-d).
  void InOwnNamespace(const std::function<void()>& body) {
    std::string why_not;
    const bool ran = orvo_test::RunInOwnNetworkNamespace(
        [&] {
          ASSERT_EQ(
              RunShell("ip link add orvo-a type veth peer name orvo-b"
                       " && ip link add orvo-c type veth peer name orvo-d"
                       " && ip addr add 192.0.2.1/24 dev orvo-a"
                       " && ip addr add 198.51.100.1/24 dev orvo-c"
                       " && for l in orvo-a orvo-b orvo-c orvo-d; do ip link set $l up; done"),
              0);
          body();
        },
        why_not);
    if (!ran) {
      GTEST_SKIP() << "SKIPPED, needs root to make links in a network namespace: " << why_not;
    }
  }

  std::shared_ptr<platform::IpHelper> ip_helper_ = platform::SystemIpHelper();
};

TEST_F(RtnetlinkIpHelper, InterfaceRowsCarryLuidAliasAndOperationalStatus) {
  InOwnNamespace([&] {
    ASSERT_EQ(RunShell("ip link add orvo-e type veth peer name orvo-f"), 0);
    const platform::InterfaceLuid luid = Luid("orvo-e");
    ASSERT_NE(luid, 0U);
    // The status as the kernel's link state changes: down, up without a carrier (its peer is
    // down), up with one; then an alias replaces the name.
    const struct {
      const char* command;
      const wchar_t* alias;
      int32_t oper_status;
    } steps[] = {
        {"true", L"orvo-e", 2},
        {"ip link set orvo-e up", L"orvo-e", 7},
        {"ip link set orvo-f up", L"orvo-e", 1},
        {"ip link set orvo-e alias OrvoVPN", L"OrvoVPN", 1},
        {"ip link set orvo-e down", L"OrvoVPN", 2},
    };
    for (const auto& step : steps) {
      SCOPED_TRACE(step.command);
      ASSERT_EQ(RunShell(step.command), 0);
      std::vector<InterfaceRow> rows;
      ASSERT_EQ(ip_helper_->GetInterfaceTable(rows), platform::kIpHelperOk);
      const InterfaceRow* row = FindInterface(rows, luid);
      ASSERT_NE(row, nullptr);
      EXPECT_EQ(row->index, static_cast<uint32_t>(LinkIndex("orvo-e")));
      EXPECT_EQ(row->alias, step.alias);
      EXPECT_EQ(row->description, step.alias);
      EXPECT_EQ(row->oper_status, step.oper_status);
    }
    // Loopback, like a TUN device on older kernels, says "unknown" with a carrier, never "up":
    // that counts as up.
    const std::string loopback_link = ShellOutput("ip link show dev lo");
    ASSERT_TRUE(Contains(loopback_link, ",LOWER_UP>") && Contains(loopback_link, "state UNKNOWN"))
        << loopback_link;
    std::vector<InterfaceRow> rows;
    ASSERT_EQ(ip_helper_->GetInterfaceTable(rows), platform::kIpHelperOk);
    const InterfaceRow* loopback = FindInterface(rows, Luid("lo"));
    ASSERT_NE(loopback, nullptr);
    EXPECT_EQ(loopback->alias, L"lo");
    EXPECT_EQ(loopback->oper_status, platform::kIfOperStatusUp);
  });
}

// The adapter is libwintun.so's: the seam finds it up under the LUID WintunGetAdapterLUID gives.
TEST_F(RtnetlinkIpHelper, AnAttachedTunAdapterIsUpUnderTheLuidTheWintunLibraryGives) {
  platform::LibraryLoad load = platform::LoadDynamicLibrary(orvo_test::WintunLibraryPath());
  ASSERT_NE(load.library, nullptr) << load.error_text;
  WintunFunctions wintun;
  std::vector<std::string> missing;
  ASSERT_TRUE(orvo_test::FillWintunTable(*load.library, wintun, missing));
  std::string why_not;
  const bool ran = orvo_test::RunInNamespaceWithTun(
      [&] {
        void* adapter = wintun.CreateAdapter(L"ORVO VPN", L"WireGuard", nullptr);
        ASSERT_NE(adapter, nullptr);
        uint64_t luid = 0;
        wintun.GetAdapterLUID(adapter, &luid);
        EXPECT_EQ(luid, Luid("ORVO-VPN"));
        void* session = wintun.StartSession(adapter, 0x400000);
        ASSERT_NE(session, nullptr);
        std::vector<InterfaceRow> rows;
        ASSERT_EQ(ip_helper_->GetInterfaceTable(rows), platform::kIpHelperOk);
        const InterfaceRow* row = FindInterface(rows, luid);
        ASSERT_NE(row, nullptr);
        EXPECT_EQ(row->oper_status, platform::kIfOperStatusUp);
        EXPECT_EQ(row->alias, L"WireGuard (Wintun)");  // the description the library keeps

        platform::UnicastAddressRow address;
        address.luid = luid;
        address.address = IpAddress::Ipv4(0x0A090002);  // 10.9.0.2
        address.prefix_length = 32;
        EXPECT_EQ(ip_helper_->CreateUnicastAddress(address), platform::kIpHelperOk);
        EXPECT_TRUE(Contains(ShellOutput("ip -o -4 addr show dev ORVO-VPN"), "inet 10.9.0.2/32"));
        wintun.EndSession(session);
        EXPECT_EQ(wintun.DeleteAdapter(adapter), 1);
      },
      why_not);
  if (!ran) {
    GTEST_SKIP() << "SKIPPED, needs root and TUN devices in a network namespace: " << why_not;
  }
}

TEST_F(RtnetlinkIpHelper, AddressesAndMtuChangeOnTheLink) {
  InOwnNamespace([&] {
    platform::UnicastAddressRow address;
    address.luid = Luid("orvo-a");
    address.address = IpAddress::Ipv4(0x0A4D0002);  // 10.77.0.2
    address.prefix_length = 32;
    EXPECT_EQ(ip_helper_->CreateUnicastAddress(address), platform::kIpHelperOk);
    EXPECT_TRUE(Contains(ShellOutput("ip -o -4 addr show dev orvo-a"), "inet 10.77.0.2/32"));
    EXPECT_EQ(ip_helper_->CreateUnicastAddress(address), kEexist);
    EXPECT_EQ(ip_helper_->DeleteUnicastAddress(address), platform::kIpHelperOk);
    EXPECT_FALSE(Contains(ShellOutput("ip -o -4 addr show dev orvo-a"), "10.77.0.2"));
    EXPECT_EQ(ip_helper_->DeleteUnicastAddress(address), kEaddrnotavail);
    address.luid = 0x1234;  // no such interface
    EXPECT_EQ(ip_helper_->CreateUnicastAddress(address), kEnodev);

    uint32_t mtu = 0;
    EXPECT_EQ(ip_helper_->GetInterfaceMtu(Luid("orvo-a"), mtu), platform::kIpHelperOk);
    EXPECT_EQ(mtu, 1500U);
    EXPECT_EQ(ip_helper_->SetInterfaceMtu(Luid("orvo-a"), 1380), platform::kIpHelperOk);
    EXPECT_TRUE(Contains(ShellOutput("ip link show dev orvo-a"), "mtu 1380"));
    EXPECT_EQ(ip_helper_->GetInterfaceMtu(Luid("orvo-a"), mtu), platform::kIpHelperOk);
    EXPECT_EQ(mtu, 1380U);
    EXPECT_EQ(ip_helper_->SetInterfaceMtu(Luid("orvo-a"), 10), kEinval);  // below IPv4's least
    EXPECT_EQ(ip_helper_->GetInterfaceMtu(Luid("orvo-a") + 1000, mtu), kEnodev);
  });
}

TEST_F(RtnetlinkIpHelper, RoutesAreMadeWithMetricAndProtocolAndReadBackAsMade) {
  InOwnNamespace([&] {
    const ForwardRow via_gateway = Route(0xC6336500, 24, 0xC00002FE, "orvo-a", 7);
    const ForwardRow on_link = Route(0xCB007107, 32, 0, "orvo-c", 10);
    ASSERT_EQ(ip_helper_->CreateForwardEntry(via_gateway), platform::kIpHelperOk);
    ASSERT_EQ(ip_helper_->CreateForwardEntry(on_link), platform::kIpHelperOk);
    const std::string shown = ShellOutput("ip -4 route show table main");
    EXPECT_TRUE(
        Contains(shown, "198.51.101.0/24 via 192.0.2.254 dev orvo-a proto redirect metric 7"))
        << shown;
    EXPECT_TRUE(Contains(shown, "203.0.113.7 dev orvo-c proto redirect scope link metric 10"))
        << shown;
    EXPECT_EQ(ip_helper_->CreateForwardEntry(on_link), kEexist);
    // A second route to the same place through another gateway stands beside the first.
    const ForwardRow other_gateway = Route(0xCB007107, 32, 0xC00002FD, "orvo-a", 10);
    EXPECT_EQ(ip_helper_->CreateForwardEntry(other_gateway), platform::kIpHelperOk);
    // The kernel refuses a destination with host bits beyond its prefix.
    EXPECT_EQ(ip_helper_->CreateForwardEntry(Route(0x0A010203, 8, 0, "orvo-c", 10)), kEinval);

    std::vector<ForwardRow> rows;
    ASSERT_EQ(ip_helper_->GetForwardTable(IpAddress::Family::kIpv4, rows), platform::kIpHelperOk);
    const std::string a = Hex(Luid("orvo-a"));
    const std::string c = Hex(Luid("orvo-c"));
    // The kernel's order: connected routes and ours, with their protocols (2 kernel, 1 ours); a
    // route of the same destination and metric goes before those already there.
    EXPECT_EQ(Describe(rows), (std::vector<std::string>{
                                  "192.0.2.0/24 via 0.0.0.0 if " + a + " metric 0 proto 2",
                                  "198.51.100.0/24 via 0.0.0.0 if " + c + " metric 0 proto 2",
                                  "198.51.101.0/24 via 192.0.2.254 if " + a + " metric 7 proto 1",
                                  "203.0.113.7/32 via 192.0.2.253 if " + a + " metric 10 proto 1",
                                  "203.0.113.7/32 via 0.0.0.0 if " + c + " metric 10 proto 1",
                              }));

    EXPECT_EQ(ip_helper_->DeleteForwardEntry(via_gateway), platform::kIpHelperOk);
    EXPECT_EQ(ip_helper_->DeleteForwardEntry(on_link), platform::kIpHelperOk);
    EXPECT_EQ(ip_helper_->DeleteForwardEntry(on_link), kEsrch);
    const std::string after = ShellOutput("ip -4 route show table main");
    EXPECT_FALSE(Contains(after, "198.51.101.0/24")) << after;
    EXPECT_FALSE(Contains(after, "203.0.113.7 dev orvo-c")) << after;
    EXPECT_TRUE(Contains(after, "203.0.113.7 via 192.0.2.253 dev orvo-a")) << after;
  });
}

TEST_F(RtnetlinkIpHelper, TheForwardTableIsTheMainTableInTheKernelsOrder) {
  InOwnNamespace([&] {
    ASSERT_EQ(RunShell("ip route add default via 192.0.2.254 dev orvo-a metric 100"
                       " && ip route add default dev orvo-c metric 5"
                       " && ip route add 10.0.0.0/8 dev orvo-c"
                       " && ip route add 172.16.0.0/12 nexthop via 192.0.2.10 dev orvo-a"
                       " nexthop via 198.51.100.10 dev orvo-c"
                       " && ip route add 100.64.0.0/10 dev orvo-c table 100"
                       " && ip route add blackhole 192.0.2.128/25"),
              0);
    std::vector<ForwardRow> rows;
    ASSERT_EQ(ip_helper_->GetForwardTable(IpAddress::Family::kIpv4, rows), platform::kIpHelperOk);
    const std::string a = Hex(Luid("orvo-a"));
    const std::string c = Hex(Luid("orvo-c"));
    // Table 100, the local table and the blackhole are not forwarding rows; the multipath route
    // gives one row per next hop.
    EXPECT_EQ(Describe(rows), (std::vector<std::string>{
                                  "0.0.0.0/0 via 0.0.0.0 if " + c + " metric 5 proto 3",
                                  "0.0.0.0/0 via 192.0.2.254 if " + a + " metric 100 proto 3",
                                  "10.0.0.0/8 via 0.0.0.0 if " + c + " metric 0 proto 3",
                                  "172.16.0.0/12 via 192.0.2.10 if " + a + " metric 0 proto 3",
                                  "172.16.0.0/12 via 198.51.100.10 if " + c + " metric 0 proto 3",
                                  "192.0.2.0/24 via 0.0.0.0 if " + a + " metric 0 proto 2",
                                  "198.51.100.0/24 via 0.0.0.0 if " + c + " metric 0 proto 2",
                              }))
        << ShellOutput("ip -4 route show table main");
  });
}

TEST_F(RtnetlinkIpHelper, TheBestRouteIsTheTableEntryTheKernelWouldUse) {
  InOwnNamespace([&] {
    ASSERT_EQ(RunShell("ip route add default via 192.0.2.254 dev orvo-a metric 50"
                       " && ip route add 203.0.113.0/24 dev orvo-c metric 5"),
              0);
    const std::string a = Hex(Luid("orvo-a"));
    const std::string c = Hex(Luid("orvo-c"));
    ForwardRow best;
    ASSERT_EQ(ip_helper_->GetBestRoute(IpAddress::Ipv4(0xCB007109), best), platform::kIpHelperOk);
    EXPECT_EQ(FakeIpHelper::Describe(best),
              "203.0.113.0/24 via 0.0.0.0 if " + c + " metric 5 proto 3");
    ASSERT_EQ(ip_helper_->GetBestRoute(IpAddress::Ipv4(0x08080808), best), platform::kIpHelperOk);
    EXPECT_EQ(FakeIpHelper::Describe(best),
              "0.0.0.0/0 via 192.0.2.254 if " + a + " metric 50 proto 3");
    ASSERT_EQ(RunShell("ip route del default"), 0);
    EXPECT_EQ(ip_helper_->GetBestRoute(IpAddress::Ipv4(0x08080808), best), kEnetunreach);
  });
}

// The upkeep on the kernel's tables: orvo-c plays the tunnel, with a default route and the
// server's /32 on it; the real way out is the default route through orvo-a.
// Windows deletes the row it is given; the kernel would take a missing gateway as any gateway.
TEST_F(RtnetlinkIpHelper, DeletingAnOnLinkRouteLeavesARouteThroughAGatewayAlone) {
  InOwnNamespace([&] {
    const ForwardRow on_link = Route(0xCB007107, 32, 0, "orvo-a", 0);             // 203.0.113.7
    const ForwardRow gatewayed = Route(0xCB007107, 32, 0xC0000202, "orvo-a", 1);  // via .2
    ASSERT_EQ(ip_helper_->CreateForwardEntry(on_link), 0U);
    ASSERT_EQ(ip_helper_->CreateForwardEntry(gatewayed), 0U);
    EXPECT_EQ(ip_helper_->DeleteForwardEntry(on_link), 0U);
    EXPECT_EQ(ShellOutput("ip route show 203.0.113.7/32"),
              "203.0.113.7 via 192.0.2.2 dev orvo-a proto redirect metric 1 \n");
  });
}

TEST_F(RtnetlinkIpHelper, TheExclusionRouteUpkeepMovesTheServerRouteOutOfTheTunnel) {
  InOwnNamespace([&] {
    ASSERT_EQ(RunShell("ip route add default via 192.0.2.254 dev orvo-a metric 100"
                       " && ip route add default dev orvo-c metric 0"
                       " && ip route add 203.0.113.7/32 dev orvo-c metric 10"),
              0);
    const IpAddress server = IpAddress::Ipv4(0xCB007107);
    LogCapture log;
    EXPECT_TRUE(ExclusionRouteUpkeep(*ip_helper_, server, true, Luid("orvo-c")));
    EXPECT_EQ(ShellOutput("ip -4 route show 203.0.113.7/32"),
              "203.0.113.7 via 192.0.2.254 dev orvo-a proto redirect metric 1 \n");
    EXPECT_EQ(log.Debugger(), L"ORVO_SVC: ensured server /32 exclusion route\n");
    // The next pass finds it in place.
    log.Clear();
    EXPECT_TRUE(ExclusionRouteUpkeep(*ip_helper_, server, true, Luid("orvo-c")));
    EXPECT_EQ(log.Debugger(), L"");
    EXPECT_EQ(ShellOutput("ip -4 route show 203.0.113.7/32"),
              "203.0.113.7 via 192.0.2.254 dev orvo-a proto redirect metric 1 \n");
  });
}

}  // namespace
}  // namespace orvo_vpn_win_svc
