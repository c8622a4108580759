// The endpoint and network parsers: each row is a text and what it must give ("-": refused).
#include <gtest/gtest.h>

#include <string>

#include "fakes/fake_ip_helper.h"
#include "runtime/endpoint_parser.h"
#include "runtime/network_parser.h"

namespace orvo_vpn_win_svc {
namespace {

using namespace std::string_literals;

struct Row {
  std::string text;
  std::string expected;
};

TEST(WireGuardParsers, EndpointsSplitAtTheFirstColonWithTheirPortReadAsADecimalInteger) {
  const Row rows[] = {
      {"vpn.example.com:51820", "vpn.example.com 51820"},
      {"203.0.113.7:1", "203.0.113.7 1"},
      {"203.0.113.7:65535", "203.0.113.7 65535"},
      {"host:51820abc", "host 51820"},  // reading stops at the first non-digit
      {"host: \t51820", "host 51820"},  // leading white space
      {"host:+443", "host 443"},        // a plus sign
      {"host:0000000000000000000080", "host 80"},
      {"a:1:2", "a 1"},      // the first colon splits
      {":51820", " 51820"},  // an empty host parses; resolving it fails
      {"host:80\0"s
       "1",
       "host 80"},
      {"", "-"},
      {"vpn.example.com", "-"},
      {"host:", "-"},
      {"host:abc", "-"},
      {"host: +", "-"},
      {"host:+-1", "-"},
      {"host:0", "-"},
      {"host:-0", "-"},
      {"host:-1", "-"},
      {"host:65536", "-"},
      {"host:2147483648", "-"},  // beyond the signed 32-bit range
      {"host:4294967297", "-"},  // would wrap to 1 in 32 bits
      {"host:99999999999999999999999", "-"},
      {"[::1]:51820", "-"},
      {"host:\0"s
       "80",
       "-"},
  };
  for (const Row& row : rows) {
    const auto endpoint = ParseEndpoint(row.text);
    EXPECT_EQ(endpoint ? endpoint->host + " " + std::to_string(endpoint->port) : "-", row.expected)
        << "endpoint \"" << row.text << "\"";
  }
}

TEST(WireGuardParsers, NetworksKeepTheirAddressAsWrittenAndAPrefixLengthUpTo32) {
  const Row rows[] = {
      {"10.0.0.0/8", "10.0.0.0/8"},
      {"10.1.2.3/8", "10.1.2.3/8"},  // host bits stay
      {"0.0.0.0/0", "0.0.0.0/0"},
      {"192.168.77.1/32", "192.168.77.1/32"},
      {"10.0.0.0/24x", "10.0.0.0/24"},
      {"10.0.0.0/ 24", "10.0.0.0/24"},
      {"10.0.0.0/+24", "10.0.0.0/24"},
      {"10.0.0.0/8/9", "10.0.0.0/8"},  // the first slash splits
      {"", "-"},
      {"10.0.0.0", "-"},
      {"10.0.0.0/", "-"},
      {"10.0.0.0/x", "-"},
      {"10.0.0.0/33", "-"},
      {"10.0.0.0/-1", "-"},
      {"10.0.0.0/4294967304", "-"},  // 2^32 + 8: no wrap to 8
      {"/24", "-"},
      {"256.0.0.0/8", "-"},
      {"10.0.0/8", "-"},
      {" 10.0.0.0/8", "-"},
      {"10.0.0.0 /8", "-"},
      {"::/0", "-"},
      {"10.0.0.1\0x/32"s, "-"},
  };
  for (const Row& row : rows) {
    const auto network = ParseNetwork(row.text);
    EXPECT_EQ(network ? orvo_test::FakeIpHelper::Describe(network->address) + "/" +
                            std::to_string(network->prefix_length)
                      : "-",
              row.expected)
        << "network \"" << row.text << "\"";
  }
}

}  // namespace
}  // namespace orvo_vpn_win_svc
