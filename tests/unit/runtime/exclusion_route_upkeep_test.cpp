// The exclusion-route upkeep: the server's /32 route kept outside the tunnel. Each row gives the
// route table and the failures, and the calls, result and line the upkeep must make.
#include "runtime/exclusion_route_upkeep.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fakes/fake_ip_helper.h"
#include "platform/log_capture.h"

namespace orvo_vpn_win_svc {
namespace {

using platform::ForwardRow;

constexpr platform::InterfaceLuid kTunnel = 0x100, kEthernet = 0x200, kWifi = 0x300;
constexpr uint32_t kEthernetGateway = 0xC0000201, kWifiGateway = 0xC6336401;

// Routes as the system reports them (protocol 3).
ForwardRow Default(uint32_t gateway, platform::InterfaceLuid luid, uint32_t metric) {
  return orvo_test::FakeIpHelper::Ipv4Route(0, 0, gateway, luid, metric, 3);
}
ForwardRow ServerRoute(platform::InterfaceLuid luid, uint32_t next_hop, uint32_t metric) {
  return orvo_test::FakeIpHelper::Ipv4Route(0xCB007107, 32, next_hop, luid, metric, 3);
}

const std::string kRead = "best route 203.0.113.7\nget routes ipv4\n";
const std::string kViaEthernet =
    "create route 203.0.113.7/32 via 192.0.2.1 if 0x200 metric 1 proto 1\n";
const std::string kDeleteFromTunnel =
    "delete route 203.0.113.7/32 via 0.0.0.0 if 0x100 metric 10 proto 3\n";
const std::string kEnsured = "ensured\n";

struct Row {
  const char* name;
  std::vector<ForwardRow> routes;
  std::vector<std::pair<std::string, int>> failures;  // call, times
  std::string expected;  // the calls, "true"/"false", and "ensured" for the line
  bool server_resolved = true;
};

TEST(ExclusionRouteUpkeep, KeepsTheServerRouteOutsideTheTunnel) {
  const Row rows[] = {
      {"route already outside the tunnel: nothing changes",
       {Default(kEthernetGateway, kEthernet, 25), ServerRoute(kEthernet, kEthernetGateway, 1)},
       {},
       kRead + "true\n"},
      {"a /32 left on the tunnel is deleted; the lowest-metric default outside it is used, metric "
       "1",
       {Default(0, kTunnel, 0), ServerRoute(kTunnel, 0, 10),
        Default(kEthernetGateway, kEthernet, 25), Default(kWifiGateway, kWifi, 5)},
       {},
       kRead + "get routes ipv4\nget routes ipv4\n" + kDeleteFromTunnel +
           "create route 203.0.113.7/32 via 198.51.100.1 if 0x300 metric 1 proto 1\ntrue\n" +
           kEnsured},
      {"the tunnel's own default never carries it, even with the lowest metric",
       {Default(0, kTunnel, 0), Default(kEthernetGateway, kEthernet, 25)},
       {},
       kRead + "get routes ipv4\n" + kViaEthernet + "true\n" + kEnsured},
      {"equal metrics: the first default in table order",
       {Default(kWifiGateway, kWifi, 10), Default(kEthernetGateway, kEthernet, 10)},
       {},
       kRead + "get routes ipv4\n" +
           "create route 203.0.113.7/32 via 198.51.100.1 if 0x300 metric 1 proto 1\ntrue\n" +
           kEnsured},
      {"no default outside the tunnel: nothing is added",
       {Default(0, kTunnel, 0)},
       {},
       kRead + "get routes ipv4\nfalse\n"},
      {"the system refuses a duplicate: no line",
       {Default(kEthernetGateway, kEthernet, 25)},
       {{"CreateForwardEntry", 1}},
       kRead + "get routes ipv4\n" + kViaEthernet + "true\n"},
      {"best-route lookup fails: a tunnel route in the table is still replaced",
       {ServerRoute(kTunnel, 0, 10), Default(kEthernetGateway, kEthernet, 25)},
       {{"GetBestRoute", 1}},
       kRead + "get routes ipv4\nget routes ipv4\n" + kDeleteFromTunnel + kViaEthernet + "true\n" +
           kEnsured},
      {"first table read fails: added without looking for one to delete",
       {ServerRoute(kTunnel, 0, 10), Default(kEthernetGateway, kEthernet, 25)},
       {{"GetForwardTable", 1}},
       kRead + "get routes ipv4\n" + kViaEthernet + "true\n" + kEnsured},
      {"the table cannot be read: nothing is added",
       {Default(kEthernetGateway, kEthernet, 25)},
       {{"GetForwardTable", 2}},
       kRead + "get routes ipv4\nfalse\n"},
      {"no resolved server: nothing is looked at",
       {Default(kEthernetGateway, kEthernet, 25)},
       {},
       "true\n",
       false},
  };
  for (const Row& row : rows) {
    orvo_test::FakeIpHelper ip_helper;
    for (const ForwardRow& route : row.routes) {
      ip_helper.AddRoute(route);
    }
    for (const auto& [call, times] : row.failures) {
      ip_helper.Fail(call, 5010, times);
    }
    LogCapture log;
    const bool kept =
        ExclusionRouteUpkeep(ip_helper, platform::IpAddress::Ipv4(0xCB007107),
                             row.server_resolved, kTunnel);
    EXPECT_EQ(ip_helper.TakeCalls() + (kept ? "true\n" : "false\n") +
                  (log.Debugger() == L"ORVO_SVC: ensured server /32 exclusion route\n" ? kEnsured
                   : log.Debugger().empty()                                            ? ""
                                            : "other line\n"),
              row.expected)
        << row.name;
  }
}

}  // namespace
}  // namespace orvo_vpn_win_svc
