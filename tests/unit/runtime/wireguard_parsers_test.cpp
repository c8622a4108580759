#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "runtime/endpoint_parser.h"
#include "runtime/network_parser.h"

namespace orvo_vpn_win_svc {
namespace {

struct EndpointCase {
  std::string text;
  bool parses;
  std::string host;
  uint16_t port;
};

TEST(EndpointParser, SplitsAtTheFirstColonAndReadsThePortAsADecimalInteger) {
  const EndpointCase cases[] = {
      {"vpn.example.com:51820", true, "vpn.example.com", 51820},
      {"203.0.113.7:1", true, "203.0.113.7", 1},
      {"203.0.113.7:65535", true, "203.0.113.7", 65535},
      {"host:51820abc", true, "host", 51820},  // reading stops at the first non-digit
      {"host: \t51820", true, "host", 51820},  // leading white space
      {"host:+443", true, "host", 443},        // a sign
      {"host:0000000000000000000080", true, "host", 80},
      {"a:1:2", true, "a", 1},      // the first colon splits
      {":51820", true, "", 51820},  // an empty host parses; resolving it fails
      {"", false, "", 0},
      {"vpn.example.com", false, "", 0},  // no colon
      {"host:", false, "", 0},            // no digits
      {"host:abc", false, "", 0},
      {"host: +", false, "", 0},
      {"host:+-1", false, "", 0},
      {"host:0", false, "", 0},
      {"host:-0", false, "", 0},
      {"host:-1", false, "", 0},
      {"host:65536", false, "", 0},
      {"host:2147483647", false, "", 0},
      {"host:2147483648", false, "", 0},  // beyond the signed 32-bit range
      {"host:4294967297", false, "", 0},  // would wrap to 1 in 32 bits
      {"host:99999999999999999999999", false, "", 0},
      {"[::1]:51820", false, "", 0},  // split at the first colon of the literal
      {std::string("host:\0"
                   "80",
                   8),
       false, "", 0},
      {std::string("host:80\0"
                   "1",
                   9),
       true, "host", 80},
  };
  for (const EndpointCase& c : cases) {
    SCOPED_TRACE("endpoint \"" + c.text + "\"");
    const std::optional<ServerEndpoint> endpoint = ParseEndpoint(c.text);
    ASSERT_EQ(endpoint.has_value(), c.parses);
    if (c.parses) {
      EXPECT_EQ(endpoint->host, c.host);
      EXPECT_EQ(endpoint->port, c.port);
    }
  }
}

struct NetworkCase {
  std::string text;
  bool parses;
  uint32_t address;  // host order
  uint8_t prefix_length;
};

TEST(NetworkParser, ReadsAnIpv4AddressAndAPrefixLengthAsWritten) {
  const NetworkCase cases[] = {
      {"10.0.0.0/8", true, 0x0A000000, 8},
      {"10.1.2.3/8", true, 0x0A010203, 8},  // host bits stay as written
      {"0.0.0.0/0", true, 0, 0},
      {"192.168.77.1/32", true, 0xC0A84D01, 32},
      {"10.0.0.0/24x", true, 0x0A000000, 24},
      {"10.0.0.0/ 24", true, 0x0A000000, 24},
      {"10.0.0.0/+24", true, 0x0A000000, 24},
      {"10.0.0.0/8/9", true, 0x0A000000, 8},  // the first slash splits
      {"", false, 0, 0},
      {"10.0.0.0", false, 0, 0},  // no slash
      {"10.0.0.0/", false, 0, 0},
      {"10.0.0.0/x", false, 0, 0},
      {"10.0.0.0/33", false, 0, 0},
      {"10.0.0.0/-1", false, 0, 0},
      {"10.0.0.0/4294967304", false, 0, 0},  // 2^32 + 8: no wrap to 8
      {"/24", false, 0, 0},
      {"256.0.0.0/8", false, 0, 0},
      {"10.0.0/8", false, 0, 0},
      {" 10.0.0.0/8", false, 0, 0},
      {"10.0.0.0 /8", false, 0, 0},
      {"::/0", false, 0, 0},
      {std::string("10.0.0.1\0"
                   "x/32",
                   13),
       false, 0, 0},
  };
  for (const NetworkCase& c : cases) {
    SCOPED_TRACE("network \"" + c.text + "\"");
    const std::optional<Ipv4Network> network = ParseNetwork(c.text);
    ASSERT_EQ(network.has_value(), c.parses);
    if (c.parses) {
      EXPECT_EQ(network->address, platform::IpAddress::Ipv4(c.address));
      EXPECT_EQ(network->prefix_length, c.prefix_length);
    }
  }
}

}  // namespace
}  // namespace orvo_vpn_win_svc
