// The Linux network-device seam and the Wintun clean-up on real links, and the stand-in's TUN
// interface, each inside a network namespace of its own (root only; skipped loudly otherwise).
#include <gtest/gtest.h>

#include <fstream>

#include "fakes/fake_process_table.h"
#include "platform/child_process.h"
#include "platform/log_capture.h"
#include "platform/network_devices.h"
#include "platform/text_encoding.h"
#include "singbox/cleanup_wintun_adapters.h"
#include "singbox/singbox_protocol.h"
#include "support/network_namespace.h"
#include "support/platform_kind.h"
#include "support/poll.h"
#include "support/scaled_sleeper.h"
#include "support/stand_in.h"

namespace orvo_vpn_win_svc {
namespace {

// The links of the current namespace as "name=alias" lines ("name" alone without an alias).
std::string LinkTable() {
  platform::DeviceSetOpening opening = platform::SystemNetworkDevices().OpenPresent();
  if (!opening.set) {
    return "open failed: " + std::to_string(opening.error);
  }
  std::string table;
  for (const auto& device : opening.set->Devices()) {
    table += WideToUtf8(device.friendly_name);
    if (device.description) {
      table += "=" + WideToUtf8(*device.description);
    }
    table += "\n";
  }
  return table;
}

void RunInNamespaceOrSkip(const std::function<void()>& body) {
  std::string why_not;
  if (!orvo_test::RunInOwnNetworkNamespace(body, why_not)) {
    GTEST_SKIP() << "SKIPPED LOUDLY: this test needs its own network namespace: " << why_not;
  }
}

TEST(NetworkDevicesInNamespace, WintunCleanUpRemovesOnlyLinksDescribedWintun) {
  if (orvo_test::kWindows) {
    GTEST_SKIP() << "Linux links; the SetupAPI side runs in the Windows tier";
  }
  RunInNamespaceOrSkip([] {
    const char* setup =
        "ip tuntap add dev wt0 mode tun && ip link set wt0 alias 'Wintun Userspace Tunnel' && "
        "ip tuntap add dev wt1 mode tun && ip link set wt1 alias 'wintun lower case' && "
        "ip tuntap add dev wt2 mode tun && ip link set wt2 alias 'Other adapter' && "
        "ip tuntap add dev wt3 mode tun && "
        "ip tuntap add dev wt4 mode tun && ip link set wt4 alias 'My Wintun #2'";
    ASSERT_EQ(orvo_test::RunShell(setup), 0);
    ASSERT_EQ(LinkTable(),
              "lo\nwt0=Wintun Userspace Tunnel\nwt1=wintun lower case\nwt2=Other adapter\nwt3\n"
              "wt4=My Wintun #2\n");
    orvo_test::FakeProcessTable processes;
    orvo_test::ScaledSleeper sleeper(1000);
    SparedProcesses spared;
    LogCapture log;
    CleanupWintunAdapters({processes, platform::SystemNetworkDevices(), sleeper, spared});
    EXPECT_EQ(LinkTable(), "lo\nwt1=wintun lower case\nwt2=Other adapter\nwt3\n");
    EXPECT_EQ(log.StandardError(),
              "ORVO_SVC: Cleaning up WinTUN adapters via SetupAPI...\n"
              "ORVO_SVC: Found WinTUN adapter: wt0 (Wintun Userspace Tunnel), removing...\n"
              "ORVO_SVC: Successfully removed WinTUN adapter\n"
              "ORVO_SVC: Found WinTUN adapter: wt4 (My Wintun #2), removing...\n"
              "ORVO_SVC: Successfully removed WinTUN adapter\n"
              "ORVO_SVC: Removed 2 WinTUN adapter(s), waiting for driver release...\n");
    EXPECT_EQ(sleeper.Count(std::chrono::milliseconds(1000)), 1);
  });
}

TEST(NetworkDevicesInNamespace, StandInCreatesAndRaisesItsTunAndRemovesItAtExit) {
  if (orvo_test::kWindows) {
    GTEST_SKIP() << "the stand-in creates TUN interfaces on Linux only";
  }
  RunInNamespaceOrSkip([] {
    orvo_test::ScopedEnvironment tun("SINGBOX_STAND_IN_TUN", "1");
    const platform::SpawnRequest request = orvo_test::StandInRequest();
    auto spawn = platform::SystemChildProcesses().Spawn(request);
    ASSERT_TRUE(spawn.child);
    uint32_t error = 0;
    ASSERT_TRUE(spawn.child->WriteInput(
        R"({"inbounds":[{"type":"tun","interface_name":"OrvoVPN"}]})", error));
    spawn.child->CloseInput();
    EXPECT_TRUE(orvo_test::PollUntil([] {
      return orvo_test::RunShell("ip link show OrvoVPN 2>/dev/null | grep -q '<.*UP'") == 0;
    })) << LinkTable();
    spawn.child->Terminate(0);
    spawn.child->Wait(std::chrono::milliseconds(5000));
    EXPECT_TRUE(orvo_test::PollUntil([] { return LinkTable() == "lo\n"; })) << LinkTable();
  });
}

}  // namespace
}  // namespace orvo_vpn_win_svc
