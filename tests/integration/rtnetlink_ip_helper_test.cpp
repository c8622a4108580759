// The rtnetlink IP Helper against the kernel's own tables, in a namespace of its own: each row
// sets the kernel up with `ip`, then compares what the seam reads with what was set. (What it
// makes, addresses, MTU and routes, the WireGuard scenario shows.)
#if defined(__linux__)
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <net/if.h>

#include <functional>

#include "platform/ip_helper.h"
#include "platform/posix/linux_luid.h"
#include "platform/text_encoding.h"
#include "support/network_namespace.h"

namespace orvo_vpn_win_svc {
namespace {

using platform::ForwardRow;
using platform::IpAddress;

platform::InterfaceLuid Luid(const char* link) {
  return platform::LuidFromInterfaceIndex(static_cast<int>(if_nametoindex(link)));
}

std::string Ipv4(const IpAddress& address) {
  char text[INET_ADDRSTRLEN] = "?";
  return inet_ntop(AF_INET, address.bytes.data(), text, sizeof(text));
}

std::string Text(const ForwardRow& row) {
  char name[IF_NAMESIZE] = "?";
  if_indextoname(static_cast<unsigned>(platform::InterfaceIndexFromLuid(row.luid)), name);
  return Ipv4(row.destination) + "/" + std::to_string(row.prefix_length) + " via " +
         Ipv4(row.next_hop) + " dev " + name + " metric " + std::to_string(row.metric) + " proto " +
         std::to_string(row.protocol) + "\n";
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

struct Row {
  const char* setup;
  std::function<std::string()> read;
  std::string expected;
};

TEST(RtnetlinkIpHelper, AgreesWithTheKernel) {
  // Two veth pairs, raised: orvo-a 192.0.2.1/24 (peer orvo-b), orvo-c 198.51.100.1/24 (orvo-d);
  // a third one down, orvo-e (orvo-f).
  const char* links =
      "ip link add orvo-a type veth peer name orvo-b && ip link add orvo-c type veth peer name "
      "orvo-d && ip addr add 192.0.2.1/24 dev orvo-a && ip addr add 198.51.100.1/24 dev orvo-c "
      "&& for l in orvo-a orvo-b orvo-c orvo-d; do ip link set $l up; done && ip link add orvo-e "
      "type veth peer name orvo-f";
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
      // Down, up without a carrier, up with one, an alias; loopback says "unknown" with a
      // carrier, which counts as up.
      {"true", Interfaces, "lo/lo 1\norvo-e/orvo-e 2\n"},
      {"ip link set orvo-e up", Interfaces, "lo/lo 1\norvo-e/orvo-e 7\n"},
      {"ip link set orvo-e up && ip link set orvo-f up && ip link set orvo-e alias OrvoVPN",
       Interfaces, "lo/lo 1\nOrvoVPN/OrvoVPN 1\n"},
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
