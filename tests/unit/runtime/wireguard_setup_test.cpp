// What the WireGuard connect works out before and while it runs: the endpoint and network parsers
// against the rows of tests/golden/unit/runtime/parsers.txt, and the exclusion-route upkeep (the
// server's /32 route kept outside the tunnel) for each route table and failure of the cases in
// tests/golden/unit/runtime/exclusion_routes.txt.
#include "runtime/endpoint_parser.h"
#include "runtime/exclusion_route_upkeep.h"
#include "runtime/network_parser.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "fakes/fake_ip_helper.h"
#include "platform/log_capture.h"
#include "platform/text_encoding.h"
#include "support/case_file.h"

namespace orvo_vpn_win_svc {
namespace {

TEST(ExclusionRouteUpkeep, KeepsTheServerRouteOutsideTheTunnel) {
  for (const orvo_test::TextCase& c : orvo_test::ReadCases("unit/runtime/exclusion_routes.txt")) {
    orvo_test::FakeIpHelper ip_helper;
    std::istringstream routes(c["routes"]);
    for (std::string line; std::getline(routes, line);) {
      ip_helper.AddRoute(orvo_test::FakeIpHelper::ParseRoute(line));
    }
    std::istringstream failure(c["fail"]);
    std::string call;
    int times = 0;
    if (failure >> call >> times) {
      ip_helper.Fail(call, 5010, times);
    }
    LogCapture log;
    const bool kept = ExclusionRouteUpkeep(ip_helper, platform::IpAddress::Ipv4(0xCB007107),
                                           c["server"] != "unresolved", 0x100);
    EXPECT_EQ(orvo_test::KeptLines(ip_helper.TakeCalls(), orvo_test::FakeIpHelper::IsChange) +
                  (kept ? "= true\n" : "= false\n") + WideToUtf8(log.Debugger()),
              c["transcript"])
        << c.name;
  }
}

std::string Parsed(const std::string& table, const std::string& text) {
  if (table == "endpoints") {
    const auto endpoint = ParseEndpoint(text);
    return endpoint ? endpoint->host + " " + std::to_string(endpoint->port) : "-";
  }
  const auto network = ParseNetwork(text);
  return network ? orvo_test::FakeIpHelper::Describe(network->address) + "/" +
                       std::to_string(network->prefix_length)
                 : "-";
}

TEST(WireGuardParsers, EachTextGivesWhatItsRowSays) {
  for (const orvo_test::TextCase& c : orvo_test::ReadCases("unit/runtime/parsers.txt")) {
    std::istringstream rows(c["rows"]);
    for (std::string row; std::getline(rows, row);) {
      const size_t arrow = row.rfind(" => ");
      const std::string text = row.substr(0, arrow);
      EXPECT_EQ(Parsed(c.name, text), row.substr(arrow + 4)) << c.name << " \"" << text << "\"";
    }
  }
}

}  // namespace
}  // namespace orvo_vpn_win_svc
