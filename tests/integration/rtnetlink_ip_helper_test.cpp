// The rtnetlink IP Helper against the kernel's own tables, in a namespace of its own: each case of
// tests/golden/integration/rtnetlink.txt sets the kernel up with `ip`, then compares what the
// seam reads with what was set. (What it
// makes, addresses, MTU and routes, the WireGuard scenario shows.)
#if defined(__linux__)
#include <gtest/gtest.h>
#include <net/if.h>

#include <span>

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
  const std::vector<orvo_test::TextCase> cases = orvo_test::ReadCases("integration/rtnetlink.txt");
  for (const orvo_test::TextCase& c : std::span(cases).subspan(1)) {
    SCOPED_TRACE(c.name);
    std::string why_not;
    const bool ran = orvo_test::RunInOwnNetworkNamespace(
        [&] {
          ASSERT_EQ(orvo_test::RunShell(cases.front()["setup"] + " && " + c["setup"]), 0);
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
