// The rtnetlink IP Helper against the kernel's own tables, in a namespace of its own: each row
// sets the kernel up with `ip`, then compares what the seam reads or makes with the kernel.
#if defined(__linux__)
#include <gtest/gtest.h>
#include <net/if.h>

#include <functional>

#include "integration/harness.h"
#include "platform/ip_helper.h"
#include "platform/posix/linux_luid.h"
#include "platform/text_encoding.h"
#include "support/network_namespace.h"
#include "support/tunnel_libraries.h"

namespace orvo_vpn_win_svc {
namespace {

using platform::ForwardRow;
using platform::IpAddress;

platform::InterfaceLuid Luid(const char* link) {
  return platform::LuidFromInterfaceIndex(static_cast<int>(if_nametoindex(link)));
}

std::string Text(const ForwardRow& row) {
  char name[IF_NAMESIZE] = "?";
  if_indextoname(static_cast<unsigned>(platform::InterfaceIndexFromLuid(row.luid)), name);
  const auto& d = row.destination.bytes;
  const auto& h = row.next_hop.bytes;
  return std::to_string(d[0]) + "." + std::to_string(d[1]) + "." + std::to_string(d[2]) + "." +
         std::to_string(d[3]) + "/" + std::to_string(row.prefix_length) + " via " +
         std::to_string(h[0]) + "." + std::to_string(h[1]) + "." + std::to_string(h[2]) + "." +
         std::to_string(h[3]) + " dev " + name + " metric " + std::to_string(row.metric) +
         " proto " + std::to_string(row.protocol) + "\n";
}

std::string ForwardTable() {
  std::vector<ForwardRow> rows;
  std::string text =
      std::to_string(platform::SystemIpHelper()->GetForwardTable(IpAddress::Family::kIpv4, rows)) +
      ":\n";
  for (const ForwardRow& row : rows) {
    text += Text(row);
  }
  return text;
}

std::string BestRoutes() {
  std::string text;
  for (const uint32_t destination : {0xCB007109u, 0x08080808u}) {  // 203.0.113.9, 8.8.8.8
    ForwardRow best;
    const uint32_t code =
        platform::SystemIpHelper()->GetBestRoute(IpAddress::Ipv4(destination), best);
    text += code == 0 ? Text(best) : std::to_string(code) + "\n";
  }
  return text;
}

// Alias and operational status of orvo-e and of loopback.
std::string Interfaces() {
  std::vector<platform::InterfaceRow> rows;
  platform::SystemIpHelper()->GetInterfaceTable(rows);
  std::string text;
  for (const auto& row : rows) {
    if (row.luid == Luid("orvo-e") || row.luid == Luid("lo")) {
      text += WideToUtf8(row.alias) + "/" + WideToUtf8(row.description) + " " +
              std::to_string(row.oper_status) + "\n";
    }
  }
  return text;
}

std::string MadeRoutes() {
  ForwardRow via;
  via.luid = Luid("orvo-a");
  via.destination = IpAddress::Ipv4(0xC6336500);  // 198.51.101.0/24 via 192.0.2.254
  via.prefix_length = 24;
  via.next_hop = IpAddress::Ipv4(0xC00002FE);
  via.metric = 7;
  via.protocol = 1;
  ForwardRow on_link = via;
  on_link.luid = Luid("orvo-c");
  on_link.destination = IpAddress::Ipv4(0xCB007107);  // 203.0.113.7/32 on the link
  on_link.prefix_length = 32;
  on_link.next_hop = IpAddress::Ipv4(0);
  const auto helper = platform::SystemIpHelper();
  std::string text = std::to_string(helper->CreateForwardEntry(via)) + " ";
  text += std::to_string(helper->CreateForwardEntry(on_link)) + " ";
  text += std::to_string(helper->CreateForwardEntry(on_link)) + "\n";
  text += orvo_test::ShellOutput("ip -4 route show proto redirect");
  text += std::to_string(helper->DeleteForwardEntry(on_link)) + " ";
  text += std::to_string(helper->DeleteForwardEntry(on_link)) + "\n";
  return text + orvo_test::ShellOutput("ip -4 route show proto redirect");
}

struct Row {
  const char* setup;
  std::function<std::string()> read;
  std::string expected;
};

TEST(RtnetlinkIpHelper, AgreesWithTheKernel) {
  // Two veth pairs, raised: orvo-a 192.0.2.1/24 (peer orvo-b), orvo-c 198.51.100.1/24 (orvo-d).
  const char* links =
      "ip link add orvo-a type veth peer name orvo-b && ip link add orvo-c type veth peer name "
      "orvo-d && ip addr add 192.0.2.1/24 dev orvo-a && ip addr add 198.51.100.1/24 dev orvo-c "
      "&& for l in orvo-a orvo-b orvo-c orvo-d; do ip link set $l up; done";
  const std::vector<Row> rows = {
      // Main table only, in the kernel's order (lowest metric first); one row per next hop.
      {"ip route add default via 192.0.2.254 dev orvo-a metric 100 && ip route add default dev "
       "orvo-c metric 5 && ip route add 10.0.0.0/8 dev orvo-c && ip route add 172.16.0.0/12 "
       "nexthop via 192.0.2.10 dev orvo-a nexthop via 198.51.100.10 dev orvo-c && ip route add "
       "100.64.0.0/10 dev orvo-c table 100 && ip route add blackhole 192.0.2.128/25",
       ForwardTable,
       "0:\n0.0.0.0/0 via 0.0.0.0 dev orvo-c metric 5 proto 3\n"
       "0.0.0.0/0 via 192.0.2.254 dev orvo-a metric 100 proto 3\n"
       "10.0.0.0/8 via 0.0.0.0 dev orvo-c metric 0 proto 3\n"
       "172.16.0.0/12 via 192.0.2.10 dev orvo-a metric 0 proto 3\n"
       "172.16.0.0/12 via 198.51.100.10 dev orvo-c metric 0 proto 3\n"
       "192.0.2.0/24 via 0.0.0.0 dev orvo-a metric 0 proto 2\n"
       "198.51.100.0/24 via 0.0.0.0 dev orvo-c metric 0 proto 2\n"},
      {"ip route add default via 192.0.2.254 dev orvo-a metric 50 && ip route add "
       "203.0.113.0/24 dev orvo-c metric 5",
       BestRoutes,
       "203.0.113.0/24 via 0.0.0.0 dev orvo-c metric 5 proto 3\n"
       "0.0.0.0/0 via 192.0.2.254 dev orvo-a metric 50 proto 3\n"},
      {"true", BestRoutes, "101\n101\n"},  // ENETUNREACH
      // Down, up without a carrier, up with one, an alias; loopback says "unknown" with a
      // carrier, which counts as up.
      {"ip link add orvo-e type veth peer name orvo-f", Interfaces, "lo/lo 1\norvo-e/orvo-e 2\n"},
      {"ip link add orvo-e type veth peer name orvo-f && ip link set orvo-e up", Interfaces,
       "lo/lo 1\norvo-e/orvo-e 7\n"},
      {"ip link add orvo-e type veth peer name orvo-f && ip link set orvo-e up && ip link set "
       "orvo-f up && ip link set orvo-e alias OrvoVPN",
       Interfaces, "lo/lo 1\nOrvoVPN/OrvoVPN 1\n"},
      // Routes made with metric and protocol; a second make is EEXIST, a second delete ESRCH.
      {"true", MadeRoutes,
       "0 0 17\n198.51.101.0/24 via 192.0.2.254 dev orvo-a metric 7 \n"
       "203.0.113.7 dev orvo-c scope link metric 7 \n0 3\n"
       "198.51.101.0/24 via 192.0.2.254 dev orvo-a metric 7 \n"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.setup);
    std::string why_not;
    const bool ran = orvo_test::RunInOwnNetworkNamespace(
        [&] {
          ASSERT_EQ(orvo_test::RunShell(links), 0);
          ASSERT_EQ(orvo_test::RunShell(row.setup), 0);
          EXPECT_EQ(row.read(), row.expected) << orvo_test::ShellOutput("ip route; ip link");
        },
        why_not);
    if (!ran) {
      GTEST_SKIP() << "SKIPPED LOUDLY: needs root for a network namespace: " << why_not;
    }
  }
}

}  // namespace
}  // namespace orvo_vpn_win_svc
#endif
