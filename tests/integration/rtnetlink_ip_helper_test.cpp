// The rtnetlink IP Helper against the kernel's own tables, in a namespace of its own: each case of
// tests/golden/integration/rtnetlink.txt sets the kernel up with `ip`, then compares what the
// seam reads with what was set. (What it
// makes, addresses, MTU and routes, the WireGuard scenario shows.)
#if defined(__linux__)
#include <gtest/gtest.h>
#include <net/if.h>

#include "fakes/fake_ip_helper.h"
#include "platform/ip_helper.h"
#include "platform/posix/linux_luid.h"
#include "platform/text_encoding.h"
#include "support/case_file.h"
#include "support/network_namespace.h"

namespace orvo_vpn_win_svc {
namespace {

platform::InterfaceLuid Luid(const char* link) {
  return platform::LuidFromInterfaceIndex(static_cast<int>(if_nametoindex(link)));
}

std::string ForwardTable() {
  return orvo_test::FakeIpHelper::ForwardTable(*platform::SystemIpHelper(), [](uint64_t luid) {
    char name[IF_NAMESIZE] = "?";
    if_indextoname(static_cast<unsigned>(platform::InterfaceIndexFromLuid(luid)), name);
    return std::string(name);
  });
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

TEST(RtnetlinkIpHelper, AgreesWithTheKernel) {
  const char* links =
      "ip link add orvo-a type veth peer name orvo-b && ip link add orvo-c type veth peer name "
      "orvo-d && ip addr add 192.0.2.1/24 dev orvo-a && ip addr add 198.51.100.1/24 dev orvo-c "
      "&& for l in orvo-a orvo-b orvo-c orvo-d; do ip link set $l up; done && ip link add orvo-e "
      "type veth peer name orvo-f";
  for (const orvo_test::TextCase& c : orvo_test::ReadCases("integration/rtnetlink.txt")) {
    SCOPED_TRACE(c.name);
    std::string why_not;
    const bool ran = orvo_test::RunInOwnNetworkNamespace(
        [&] {
          ASSERT_EQ(orvo_test::RunShell(links), 0);
          ASSERT_EQ(orvo_test::RunShell(c["setup"]), 0);
          EXPECT_EQ(c["read"] == "routes" ? ForwardTable() : Interfaces(), c["shows"])
              << orvo_test::ShellOutput("ip route; ip link");
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
