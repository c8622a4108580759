// The WireGuard tunnel as a user brings it up: the real service in console mode, with its
// libwintun.so and the WireGuard stand-in library on its library path, driven over its socket
// with the "connect:" and "disconnect" text commands, against the stand-in server in a second
// network namespace.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>

#include "platform/local_message_pipe_client.h"
#include "support/background_process.h"
#include "support/namespace_network.h"
#include "support/network_namespace.h"
#include "support/platform_kind.h"
#include "support/poll.h"
#include "support/process_resources.h"
#include "support/test_pipe.h"
#include "support/tunnel_libraries.h"
#include "support/wireguard_peer.h"

namespace orvo_vpn_win_svc {
namespace {

using namespace std::chrono_literals;
using orvo_test::ShellOutput;
using orvo_test::WireGuardPeer;

constexpr wchar_t kServicePipe[] = L"\\\\.\\pipe\\OrvoVpnWinSvc";

std::string Send(const std::string& request) {
  return platform::ExchangePipeMessage(kServicePipe, request, 5000ms).reply;
}

std::string ConnectCommand() {
  return "connect:" + WireGuardPeer::LegacyConfiguration();
}

TEST(WireGuardService, ConnectCarriesPingsAndDisconnectLeavesNothingBehind) {
  if (orvo_test::kWindows) {
    GTEST_SKIP() << "TUN devices and network namespaces are the Linux build's";
  }
  std::string why_not;
  const bool ran = orvo_test::RunInNamespaceWithTun(
      [&] {
        WireGuardPeer peer;
        std::string why;
        ASSERT_TRUE(peer.Start(why)) << why;
        // A default route outside the tunnel, for the exclusion-route upkeep to lean on.
        ASSERT_EQ(orvo_test::RunShell(std::string("ip route add default via ") +
                                      WireGuardPeer::kServerAddress + " dev veth-client"),
                  0);

        orvo_test::TestPipe pipe;  // ORVO_PIPE_DIR of this test, inherited by the service
        const std::string build = ORVO_BUILD_DIR;
        // libwintun.so is found beside the service; the protocol stand-in is put on the path.
        const std::string libraries =
            std::filesystem::path(orvo_test::WireGuardStandInServerPath()).parent_path().string();
        orvo_test::BackgroundProcess service;
        ASSERT_TRUE(service.Start(
            {"env", "LD_LIBRARY_PATH=" + libraries, build + "/orvo-vpn-svc", "--console"}));
        ASSERT_TRUE(service.WaitForOutput("ORVO_SVC: IPC running on pipe\n", 10s))
            << service.Output();
        const orvo_test::ProcessResources idle = orvo_test::CountProcessResourcesOf(service.Pid());

        ASSERT_EQ(Send(ConnectCommand()), "ok") << service.Output();
        EXPECT_EQ(Send("status"), "connected");
        EXPECT_NE(ShellOutput("ip -o -4 addr show dev ORVO-VPN").find("inet 10.9.0.2/32"),
                  std::string::npos);
        EXPECT_NE(ShellOutput("ip -o link show dev ORVO-VPN").find("mtu 1380"), std::string::npos);
        EXPECT_NE(ShellOutput("ip route show 10.9.0.0/24").find("dev ORVO-VPN"), std::string::npos);
        // The host route for the server leaves through the veth pair, not the tunnel.
        EXPECT_NE(ShellOutput("ip route show 192.168.77.2/32").find("dev veth-client"),
                  std::string::npos);
        EXPECT_TRUE(orvo_test::Ping(WireGuardPeer::kTunnelServerAddress, 5s))
            << "no echo reply through the tunnel";

        // Take the host route away: within a timer pass the upkeep puts one back outside the
        // tunnel, through the default route.
        ASSERT_EQ(orvo_test::RunShell("ip route del 192.168.77.2/32"), 0);
        EXPECT_TRUE(orvo_test::PollUntil([] {
          return ShellOutput("ip route show 192.168.77.2/32").find("dev veth-client") !=
                 std::string::npos;
        }));
        EXPECT_TRUE(orvo_test::Ping(WireGuardPeer::kTunnelServerAddress, 5s));

        ASSERT_EQ(Send("disconnect"), "ok");
        EXPECT_EQ(Send("status"), "disconnected");
        EXPECT_EQ(orvo_test::LinkIndex("ORVO-VPN"), 0) << "the adapter is removed";
        EXPECT_EQ(ShellOutput("ip route show 10.9.0.0/24"), "");
        // The upkeep's route is the system's from then on.
        EXPECT_NE(ShellOutput("ip route show 192.168.77.2/32").find("dev veth-client"),
                  std::string::npos);
        EXPECT_EQ(orvo_test::SettledResourcesOf(service.Pid(), idle).Text(), idle.Text());

        // A second tunnel comes up as the first did.
        ASSERT_EQ(Send(ConnectCommand()), "ok");
        EXPECT_TRUE(orvo_test::Ping(WireGuardPeer::kTunnelServerAddress, 5s));
        ASSERT_EQ(Send("disconnect"), "ok");
        EXPECT_EQ(orvo_test::SettledResourcesOf(service.Pid(), idle).Text(), idle.Text());
      },
      why_not);
  if (!ran) {
    GTEST_SKIP() << "SKIPPED, needs root and TUN devices in network namespaces: " << why_not;
  }
}

}  // namespace
}  // namespace orvo_vpn_win_svc
