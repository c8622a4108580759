// Many Hysteria2 connect/disconnect cycles through the console-mode service with the stand-in:
// nothing may grow (descriptors, threads, children, network devices). One cycle takes about
// 1.9 s, most of it fixed waits in the connect and the disconnect, so CI runs ORVO_SOAK_CYCLES
// cycles (default below); ORVO_SOAK_CYCLES=200 runs the full soak (about 6 minutes, more than
// ctest's per-test limit: run it from the test binary directly).
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

int DeviceCount() {
  return std::atoi(orvo_test::ShellOutput("ip -o link show | wc -l").c_str());
}

TEST(ServiceSoak, ConnectDisconnectCyclesLeaveNothingBehind) {
  ORVO_RUN_IN_SERVICE_NAMESPACE_OR_SKIP([] {
    ServiceUnderTest service;
    service.SetStandIn({{"SINGBOX_STAND_IN_TUN", "1"}});
    std::string why_not;
    ASSERT_TRUE(service.Start(ServiceUnderTest::Mode::kConsole, {}, why_not)) << why_not;
    // A first cycle, so what the first use creates for good (the socket library, the netlink
    // socket) is in the baseline.
    ASSERT_EQ(service.Raw(kConnect).output, kConnected) << service.Log();
    ASSERT_EQ(service.Raw(kDisconnect).output, kSuccess);
    ASSERT_TRUE(orvo_test::PollUntil([&] { return service.Children().empty(); }));
    const ProcessResources before = service.Holdings();
    const int devices_before = DeviceCount();

    const int cycles = Cycles();
    long long total_ms = 0;
    long long slowest_ms = 0;
    long long fastest_ms = 1'000'000;
    for (int cycle = 0; cycle < cycles; ++cycle) {
      const auto start = std::chrono::steady_clock::now();
      const std::string connected = service.Raw(kConnect).output;
      ASSERT_EQ(connected, kConnected) << "cycle " << cycle << "\n" << service.Log();
      ASSERT_EQ(service.Raw("status").output, "connected") << "cycle " << cycle;
      ASSERT_EQ(service.Raw(kDisconnect).output, kSuccess) << "cycle " << cycle;
      const long long took = std::chrono::duration_cast<std::chrono::milliseconds>(
                                 std::chrono::steady_clock::now() - start)
                                 .count();
      total_ms += took;
      slowest_ms = std::max(slowest_ms, took);
      fastest_ms = std::min(fastest_ms, took);
    }
    ProcessResources after;
    int devices_after = 0;
    orvo_test::PollUntil([&] {
      after = service.Holdings();
      devices_after = DeviceCount();
      return after == before && devices_after == devices_before;
    });
    std::printf(
        "soak: %d cycles in %lld ms (%lld ms a cycle on average, fastest %lld, slowest %lld); "
        "service before %s devices %d, after %s devices %d\n",
        cycles, total_ms, total_ms / cycles, fastest_ms, slowest_ms, before.Text().c_str(),
        devices_before, after.Text().c_str(), devices_after);
    ::testing::Test::RecordProperty("cycles", std::to_string(cycles));
    ::testing::Test::RecordProperty("cycle_ms_average", std::to_string(total_ms / cycles));
    ::testing::Test::RecordProperty("before", before.Text());
    ::testing::Test::RecordProperty("after", after.Text());
    EXPECT_EQ(after.Text(), before.Text());
    EXPECT_EQ(devices_after, devices_before);
    EXPECT_FALSE(service.Log().empty());
  });
}

}  // namespace
}  // namespace orvo_vpn_win_svc
