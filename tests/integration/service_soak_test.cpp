// Many Hysteria2 and WireGuard connect/disconnect cycles through the console-mode service with
// the stand-ins: nothing may grow (descriptors, threads, children, network devices, routes). A
// Hysteria2 cycle takes about 1.9 s, most of it fixed waits in the connect and the disconnect, so
// CI runs ORVO_SOAK_CYCLES cycles of each (default below); ORVO_SOAK_CYCLES=200 runs the full soak
// (about 6 minutes, more than ctest's per-test limit: run it from the test binary directly).
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "integration/service_namespace.h"
#include "integration/service_requests.h"
#include "integration/service_under_test.h"
#include "support/namespace_network.h"
#include "support/poll.h"

namespace orvo_vpn_win_svc {
namespace {

using namespace std::chrono_literals;
using namespace orvo_test::service_requests;
using orvo_test::ProcessResources;
using orvo_test::ServiceUnderTest;

constexpr int kDefaultCycles = 50;

int Cycles() {
  const char* configured = std::getenv("ORVO_SOAK_CYCLES");
  const int cycles = configured != nullptr ? std::atoi(configured) : 0;
  return cycles > 0 ? cycles : kDefaultCycles;
}

// The namespace's network devices and routes (every table, both families), as one text.
std::string DevicesAndRoutes() {
  return orvo_test::ShellOutput(
      "printf 'devices %s, routes %s IPv4 %s IPv6' $(ip -o link show | wc -l) "
      "$(ip -4 route show table all | wc -l) $(ip -6 route show table all | wc -l)");
}

// One kind of connection: what brings it up and down, and the replies that say so.
struct SoakLeg {
  std::string name;
  std::string connect;
  std::string connected;
  std::string disconnect;
  std::string disconnected;
};

// Connects and disconnects Cycles() times after a first cycle that sets the baseline (what the
// first use creates for good, the socket library or the netlink socket, is in it), then expects
// the service's descriptors, threads, children and the namespace's devices to be back there.
void Soak(ServiceUnderTest& service, const SoakLeg& leg) {
  ASSERT_EQ(service.Raw(leg.connect).output, leg.connected) << service.Log();
  ASSERT_EQ(service.Raw(leg.disconnect).output, leg.disconnected);
  ASSERT_TRUE(orvo_test::PollUntil([&] { return service.Children().empty(); }));
  const ProcessResources before = service.Holdings();
  const std::string devices_before = DevicesAndRoutes();

  const int cycles = Cycles();
  long long total_ms = 0;
  long long slowest_ms = 0;
  long long fastest_ms = 1'000'000;
  for (int cycle = 0; cycle < cycles; ++cycle) {
    const auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(service.Raw(leg.connect).output, leg.connected) << "cycle " << cycle << "\n"
                                                              << service.Log();
    ASSERT_EQ(service.Raw("status").output, "connected") << "cycle " << cycle;
    ASSERT_EQ(service.Raw(leg.disconnect).output, leg.disconnected) << "cycle " << cycle;
    const long long took = std::chrono::duration_cast<std::chrono::milliseconds>(
                               std::chrono::steady_clock::now() - start)
                               .count();
    total_ms += took;
    slowest_ms = std::max(slowest_ms, took);
    fastest_ms = std::min(fastest_ms, took);
  }
  ProcessResources after;
  std::string devices_after;
  orvo_test::PollUntil([&] {
    after = service.Holdings();
    devices_after = DevicesAndRoutes();
    return after == before && devices_after == devices_before;
  });
  std::printf(
      "%s soak: %d cycles in %lld ms (%lld ms a cycle on average, fastest %lld, slowest %lld); "
      "service before %s, %s; after %s, %s\n",
      leg.name.c_str(), cycles, total_ms, total_ms / cycles, fastest_ms, slowest_ms,
      before.Text().c_str(), devices_before.c_str(), after.Text().c_str(), devices_after.c_str());
  ::testing::Test::RecordProperty("cycles", std::to_string(cycles));
  ::testing::Test::RecordProperty("cycle_ms_average", std::to_string(total_ms / cycles));
  ::testing::Test::RecordProperty("before", before.Text());
  ::testing::Test::RecordProperty("after", after.Text());
  EXPECT_EQ(after.Text(), before.Text());
  EXPECT_EQ(devices_after, devices_before);
}

TEST(ServiceSoak, ConnectDisconnectCyclesLeaveNothingBehind) {
  ORVO_RUN_IN_SERVICE_NAMESPACE_OR_SKIP([] {
    ServiceUnderTest service;
    service.SetStandIn({{"SINGBOX_STAND_IN_TUN", "1"}});
    std::string why_not;
    ASSERT_TRUE(service.Start(ServiceUnderTest::Mode::kConsole, {}, why_not)) << why_not;
    Soak(service, {"Hysteria2", kConnect, kConnected, kDisconnect, kSuccess});
  });
}

// The same for WireGuard tunnels against the stand-in server: every cycle creates and removes
// the adapter, its address and routes, the UDP socket and four packet threads.
TEST(ServiceSoak, WireGuardConnectDisconnectCyclesLeaveNothingBehind) {
  ORVO_RUN_IN_SERVICE_NAMESPACE_OR_SKIP([] {
    orvo_test::WireGuardPeer peer;
    ServiceUnderTest service;
    std::string why;
    ASSERT_TRUE(service.StartBesideWireGuardPeer(peer, why)) << why;
    Soak(service, {"WireGuard", "connect:" + orvo_test::WireGuardPeer::LegacyConfiguration(), "ok",
                   "disconnect", "ok"});
  });
}

}  // namespace
}  // namespace orvo_vpn_win_svc
