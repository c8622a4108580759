// The endpoint and network parsers against the rows of tests/golden/unit/runtime/parsers.txt.
#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "fakes/fake_ip_helper.h"
#include "runtime/endpoint_parser.h"
#include "runtime/network_parser.h"
#include "support/case_file.h"

namespace orvo_vpn_win_svc {
namespace {

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
