#include "runtime/exclusion_route_upkeep.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fakes/fake_ip_helper.h"
#include "platform/log_capture.h"

namespace orvo_vpn_win_svc {
namespace {

using platform::ForwardRow;
using platform::IpAddress;

constexpr platform::InterfaceLuid kTunnel = 0x100;
constexpr platform::InterfaceLuid kEthernet = 0x200;
constexpr platform::InterfaceLuid kWifi = 0x300;
const IpAddress kServer = IpAddress::Ipv4(0xCB007107);  // 203.0.113.7
const std::wstring kEnsuredLine = L"ORVO_SVC: ensured server /32 exclusion route\n";

// Routes as the system reports them (protocol 3, network management).
ForwardRow Route(uint32_t destination, uint8_t prefix_length, uint32_t next_hop,
                 platform::InterfaceLuid luid, uint32_t metric) {
  return orvo_test::FakeIpHelper::Ipv4Route(destination, prefix_length, next_hop, luid, metric, 3);
}

ForwardRow Default(uint32_t gateway, platform::InterfaceLuid luid, uint32_t metric) {
  return Route(0, 0, gateway, luid, metric);
}
ForwardRow ServerRoute(platform::InterfaceLuid luid, uint32_t next_hop, uint32_t metric) {
  return Route(0xCB007107, 32, next_hop, luid, metric);
}

constexpr uint32_t kEthernetGateway = 0xC0000201;  // 192.0.2.1
constexpr uint32_t kWifiGateway = 0xC6336401;      // 198.51.100.1

struct UpkeepCase {
  const char* name;
  std::vector<ForwardRow> routes;
  std::vector<std::pair<std::string, int>> failures;  // call, times
  std::string calls;
  bool result;
  bool ensured_line;
};

TEST(ExclusionRouteUpkeep, KeepsTheServerRouteOutsideTheTunnel) {
  const std::string best = "best route 203.0.113.7\n";
  const std::string read = "get routes ipv4\n";
  const UpkeepCase cases[] = {
      {"route already outside the tunnel: nothing changes",
       {Default(kEthernetGateway, kEthernet, 25), ServerRoute(kEthernet, kEthernetGateway, 1)},
       {},
       best + read,
       true,
       false},
      {"route only on the tunnel: replaced through the lowest-metric default outside",
       {Default(0, kTunnel, 0), ServerRoute(kTunnel, 0, 10),
        Default(kEthernetGateway, kEthernet, 25), Default(kWifiGateway, kWifi, 5)},
       {},
       best + read + read + read +
           "delete route 203.0.113.7/32 via 0.0.0.0 if 0x100 metric 10 proto 3\n"
           "create route 203.0.113.7/32 via 198.51.100.1 if 0x300 metric 1 proto 1\n",
       true,
       true},
      {"no route yet: created through the default outside",
       {Default(kEthernetGateway, kEthernet, 25)},
       {},
       best + read + read + "create route 203.0.113.7/32 via 192.0.2.1 if 0x200 metric 1 proto 1\n",
       true,
       true},
      {"equal metrics: the first default in table order",
       {Default(kWifiGateway, kWifi, 10), Default(kEthernetGateway, kEthernet, 10)},
       {},
       best + read + read +
           "create route 203.0.113.7/32 via 198.51.100.1 if 0x300 metric 1 proto 1\n",
       true,
       true},
      {"no default route outside the tunnel: nothing is added",
       {Default(0, kTunnel, 0)},
       {},
       best + read + read,
       false,
       false},
      {"the route exists but the system refuses a duplicate: no line",
       {Default(kEthernetGateway, kEthernet, 25)},
       {{"CreateForwardEntry", 1}},
       best + read + read + "create route 203.0.113.7/32 via 192.0.2.1 if 0x200 metric 1 proto 1\n",
       true,
       false},
      {"best-route lookup fails: a tunnel route found in the table is still replaced",
       {ServerRoute(kTunnel, 0, 10), Default(kEthernetGateway, kEthernet, 25)},
       {{"GetBestRoute", 1}},
       best + read + read + read +
           "delete route 203.0.113.7/32 via 0.0.0.0 if 0x100 metric 10 proto 3\n"
           "create route 203.0.113.7/32 via 192.0.2.1 if 0x200 metric 1 proto 1\n",
       true,
       true},
      {"first table read fails: the route is added without looking for one to delete",
       {ServerRoute(kTunnel, 0, 10), Default(kEthernetGateway, kEthernet, 25)},
       {{"GetForwardTable", 1}},
       best + read + read + "create route 203.0.113.7/32 via 192.0.2.1 if 0x200 metric 1 proto 1\n",
       true,
       true},
      {"the table cannot be read: nothing is added",
       {Default(kEthernetGateway, kEthernet, 25)},
       {{"GetForwardTable", 2}},
       best + read + read,
       false,
       false},
  };
  for (const UpkeepCase& c : cases) {
    SCOPED_TRACE(c.name);
    orvo_test::FakeIpHelper ip_helper;
    for (const ForwardRow& row : c.routes) {
      ip_helper.AddRoute(row);
    }
    for (const auto& [call, times] : c.failures) {
      ip_helper.Fail(call, 5010, times);
    }
    LogCapture log;
    EXPECT_EQ(ExclusionRouteUpkeep(ip_helper, kServer, true, kTunnel), c.result);
    EXPECT_EQ(ip_helper.TakeCalls(), c.calls);
    EXPECT_EQ(log.Debugger(), c.ensured_line ? kEnsuredLine : L"");
  }
}

TEST(ExclusionRouteUpkeep, DoesNothingWithoutAResolvedServer) {
  orvo_test::FakeIpHelper ip_helper;
  ip_helper.AddRoute(Default(kEthernetGateway, kEthernet, 25));
  EXPECT_TRUE(ExclusionRouteUpkeep(ip_helper, kServer, false, kTunnel));
  EXPECT_EQ(ip_helper.TakeCalls(), "");
}

TEST(ExclusionRouteUpkeep, TheNextPassFindsTheRouteInPlace) {
  orvo_test::FakeIpHelper ip_helper;
  ip_helper.AddRoute(Default(0, kTunnel, 0));
  ip_helper.AddRoute(ServerRoute(kTunnel, 0, 10));
  ip_helper.AddRoute(Default(kEthernetGateway, kEthernet, 25));
  EXPECT_TRUE(ExclusionRouteUpkeep(ip_helper, kServer, true, kTunnel));
  ip_helper.TakeCalls();
  LogCapture log;
  EXPECT_TRUE(ExclusionRouteUpkeep(ip_helper, kServer, true, kTunnel));
  EXPECT_EQ(ip_helper.TakeCalls(), "best route 203.0.113.7\nget routes ipv4\n");
  EXPECT_EQ(log.Debugger(), L"");
  std::vector<std::string> routes;
  for (const ForwardRow& row : ip_helper.Routes()) {
    routes.push_back(orvo_test::FakeIpHelper::Describe(row));
  }
  EXPECT_EQ(routes, (std::vector<std::string>{
                        "0.0.0.0/0 via 0.0.0.0 if 0x100 metric 0 proto 3",
                        "0.0.0.0/0 via 192.0.2.1 if 0x200 metric 25 proto 3",
                        "203.0.113.7/32 via 192.0.2.1 if 0x200 metric 1 proto 1",
                    }));
}

}  // namespace
}  // namespace orvo_vpn_win_svc
