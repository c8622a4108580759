// The exclusion-route upkeep: the server's /32 route kept outside the tunnel, for each route table
// and failure of the cases in tests/golden/unit/runtime/exclusion_routes.txt.
#include "runtime/exclusion_route_upkeep.h"

#include <gtest/gtest.h>

#include <sstream>

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
    EXPECT_EQ(
        ip_helper.TakeCalls() + (kept ? "= true\n" : "= false\n") + WideToUtf8(log.Debugger()),
        c["transcript"])
        << c.name;
  }
}

}  // namespace
}  // namespace orvo_vpn_win_svc
