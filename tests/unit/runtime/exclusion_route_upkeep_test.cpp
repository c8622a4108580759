// The exclusion-route upkeep: the server's /32 route kept outside the tunnel, for each route table
// and failure of the cases in tests/golden/unit/runtime/exclusion_routes.txt.
#include "runtime/exclusion_route_upkeep.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <sstream>

#include "fakes/fake_ip_helper.h"
#include "platform/log_capture.h"
#include "platform/text_encoding.h"
#include "support/case_file.h"

namespace orvo_vpn_win_svc {
namespace {

// An IPv4 route in the form the fake records: "0.0.0.0/0 via 192.0.2.1 if 0x200 metric 25 proto 3".
platform::ForwardRow Route(const std::string& text) {
  unsigned d[4] = {}, prefix = 0, n[4] = {}, metric = 0, protocol = 0;
  unsigned long long luid = 0;
  std::sscanf(text.c_str(), "%u.%u.%u.%u/%u via %u.%u.%u.%u if %llx metric %u proto %u", &d[0],
              &d[1], &d[2], &d[3], &prefix, &n[0], &n[1], &n[2], &n[3], &luid, &metric, &protocol);
  const auto address = [](const unsigned* b) { return b[0] << 24 | b[1] << 16 | b[2] << 8 | b[3]; };
  return orvo_test::FakeIpHelper::Ipv4Route(address(d), static_cast<uint8_t>(prefix), address(n),
                                            luid, metric, protocol);
}

TEST(ExclusionRouteUpkeep, KeepsTheServerRouteOutsideTheTunnel) {
  for (const orvo_test::TextCase& c : orvo_test::ReadCases("unit/runtime/exclusion_routes.txt")) {
    orvo_test::FakeIpHelper ip_helper;
    std::istringstream routes(c["routes"]);
    for (std::string line; std::getline(routes, line);) {
      ip_helper.AddRoute(Route(line));
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
