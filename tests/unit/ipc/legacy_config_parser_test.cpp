#include <gtest/gtest.h>

#include <ostream>
#include <string>

#include "ipc/legacy_config_parser.h"

namespace orvo_vpn_win_svc {
namespace {

std::string Join(const std::vector<std::string>& items) {
  std::string joined;
  for (const std::string& item : items) {
    joined += (joined.empty() ? "" : ",") + ("<" + item + ">");
  }
  return "[" + joined + "]";
}

// The parsed record as one line, or "invalid".
std::string Parse(const std::string& text) {
  ConnectRequest r;
  if (!ParseLegacyConfig(text, r)) {
    return "invalid";
  }
  return "endpoint=<" + r.serverEndpoint + "> public=<" + r.serverPublicKey + "> private=<" +
         r.privateKey + "> ip=<" + r.assignedIp + "> dns=" + Join(r.dnsServers) +
         " allowed=" + Join(r.allowedIps) + " mtu=" + std::to_string(r.mtu);
}

constexpr const char* kHead =
    R"({"serverEndpoint": "198.51.100.7:51820", "serverPublicKey": "pub=", )"
    R"("privateKey": "priv=", "assignedIp": "10.8.0.2", )";
constexpr const char* kHeadRecord =
    "endpoint=<198.51.100.7:51820> public=<pub=> private=<priv=> ip=<10.8.0.2>";

struct LegacyCase {
  const char* name;
  std::string text;
  std::string parsed;
};

// Names the case in test output instead of dumping its bytes.
void PrintTo(const LegacyCase& c, std::ostream* os) { *os << c.name; }

std::string CaseName(const testing::TestParamInfo<LegacyCase>& info) { return info.param.name; }

class LegacyConfig : public testing::TestWithParam<LegacyCase> {};

TEST_P(LegacyConfig, IsSearchedByItsRules) { EXPECT_EQ(Parse(GetParam().text), GetParam().parsed); }

// The lists and mtu vary; the four strings stay as in kHead.
LegacyCase Tail(const char* name, const std::string& tail, const std::string& parsed) {
  return {name, kHead + tail, parsed == "invalid" ? parsed : kHeadRecord + (" " + parsed)};
}

INSTANTIATE_TEST_SUITE_P(
    Numbers, LegacyConfig,
    testing::Values(
        Tail("Mtu1420", R"("dnsServers": ["1.1.1.1"], "allowedIps": ["0.0.0.0/0"], "mtu":1420})",
             "dns=[<1.1.1.1>] allowed=[<0.0.0.0/0>] mtu=1420"),
        Tail("Mtu1420AfterWhitespace",
             "\"dnsServers\":[], \"allowedIps\":[], \"mtu\": \t\r\n 1420}",
             "dns=[] allowed=[] mtu=1420"),
        Tail("MtuLowerBound", R"("dnsServers":[], "allowedIps":[], "mtu":1})",
             "dns=[] allowed=[] mtu=1"),
        Tail("MtuUpperBound", R"("dnsServers":[], "allowedIps":[], "mtu":9000})",
             "dns=[] allowed=[] mtu=9000"),
        // Only the run of digits counts: leading zeros, a fraction or text after it are fine.
        Tail("MtuLeadingZeros", R"("dnsServers":[], "allowedIps":[], "mtu":0001420})",
             "dns=[] allowed=[] mtu=1420"),
        Tail("MtuFraction", R"("dnsServers":[], "allowedIps":[], "mtu":1420.9})",
             "dns=[] allowed=[] mtu=1420"),
        Tail("MtuZero", R"("dnsServers":[], "allowedIps":[], "mtu":0})", "invalid"),
        Tail("Mtu9001", R"("dnsServers":[], "allowedIps":[], "mtu":9001})", "invalid"),
        Tail("MtuNegative", R"("dnsServers":[], "allowedIps":[], "mtu":-1})", "invalid"),
        Tail("MtuPlusSign", R"("dnsServers":[], "allowedIps":[], "mtu":+1420})", "invalid"),
        Tail("MtuQuoted", R"("dnsServers":[], "allowedIps":[], "mtu":"1420"})", "invalid"),
        Tail("MtuInt32Max", R"("dnsServers":[], "allowedIps":[], "mtu":2147483647})", "invalid"),
        // 65956 would pass as 420 if the value were cut to 16 bits before the range check.
        Tail("Mtu16BitWrap", R"("dnsServers":[], "allowedIps":[], "mtu":65956})", "invalid"),
        // Beyond the signed 32-bit range, including values that would wrap into 1..9000.
        Tail("MtuOverflow", R"("dnsServers":[], "allowedIps":[], "mtu":99999999999})", "invalid"),
        Tail("MtuOverflowWrapping", R"("dnsServers":[], "allowedIps":[], "mtu":4294968716})",
             "invalid"),
        Tail("MtuMissing", R"("dnsServers":[], "allowedIps":[]})", "invalid"),
        Tail("MtuAtEndOfText", R"("dnsServers":[], "allowedIps":[], "mtu":)", "invalid"),
        Tail("MtuWithoutColon", R"("dnsServers":[], "allowedIps":[], "mtu")", "invalid")),
    CaseName);

INSTANTIATE_TEST_SUITE_P(
    Lists, LegacyConfig,
    testing::Values(
        Tail("EmptyLists", R"("dnsServers": [], "allowedIps": [ ], "mtu": 1420})",
             "dns=[] allowed=[] mtu=1420"),
        // Bare items are skipped; quoted ones are kept in order.
        Tail("QuotedAndBare",
             R"("dnsServers": ["1.1.1.1", 53, "8.8.8.8"], "allowedIps": [10.0.0.0/8, "::/0"], )"
             R"("mtu": 1420})",
             "dns=[<1.1.1.1>,<8.8.8.8>] allowed=[<::/0>] mtu=1420"),
        Tail("WhitespaceAroundItems",
             "\"dnsServers\": [\n\t\"1.1.1.1\" ,\n \"\" ],"
             "\"allowedIps\":[\"0.0.0.0/0\"],\"mtu\":1420}",
             "dns=[<1.1.1.1>,<>] allowed=[<0.0.0.0/0>] mtu=1420"),
        // Text after an item up to the next comma is skipped.
        Tail("JunkAfterItem", R"("dnsServers": ["1.1.1.1" x "9.9.9.9", "8.8.8.8"], )"
                              R"("allowedIps": [], "mtu": 1420})",
             "dns=[<1.1.1.1>,<8.8.8.8>] allowed=[] mtu=1420"),
        Tail("ListWithoutBrackets", R"("dnsServers": "1.1.1.1", "allowedIps": [], "mtu": 1420})",
             "dns=[] allowed=[] mtu=1420"),
        Tail("ListMissingClosingBracket",
             R"("allowedIps": [], "mtu": 1420, "dnsServers": ["1.1.1.1")", "invalid"),
        Tail("ListItemMissingClosingQuote",
             R"("allowedIps": [], "mtu": 1420, "dnsServers": ["1.1.1.1])", "invalid"),
        Tail("ListMissing", R"("allowedIps": [], "mtu": 1420})", "invalid")),
    CaseName);

INSTANTIATE_TEST_SUITE_P(
    Strings, LegacyConfig,
    testing::Values(
        LegacyCase{"Compact",
                   R"({"serverEndpoint":"e:1","serverPublicKey":"k","privateKey":"p",)"
                   R"("assignedIp":"10.0.0.2","dnsServers":["9.9.9.9"],"allowedIps":["0.0.0.0/0",)"
                   R"("::/0"],"mtu":1280})",
                   "endpoint=<e:1> public=<k> private=<p> ip=<10.0.0.2> dns=[<9.9.9.9>] "
                   "allowed=[<0.0.0.0/0>,<::/0>] mtu=1280"},
        // The first occurrence of a key counts, wherever it stands.
        LegacyCase{"FirstOccurrenceWins",
                   R"({"serverEndpoint":"first:1","serverEndpoint":"second:2",)"
                   R"("serverPublicKey":"k","privateKey":"p","assignedIp":"a","dnsServers":[],)"
                   R"("allowedIps":[],"mtu":1500,"mtu":9999})",
                   "endpoint=<first:1> public=<k> private=<p> ip=<a> dns=[] allowed=[] mtu=1500"},
        // A key quoted inside another value is found there; the scan reads on from it.
        LegacyCase{"KeyInsideAValue",
                   R"({"note":"mtu","x":"y","serverEndpoint":"e","serverPublicKey":"k",)"
                   R"("privateKey":"p","assignedIp":"a","dnsServers":[],"allowedIps":[],"mtu":1})",
                   "invalid"},
        // Escapes are not interpreted: a backslash is kept and the value ends at the next quote.
        LegacyCase{"EscapesTakenLiterally",
                   R"({"serverEndpoint":"a\"b","serverPublicKey":"k\n","privateKey":"p",)"
                   R"("assignedIp":"a","dnsServers":[],"allowedIps":[],"mtu":1})",
                   R"(endpoint=<a\> public=<k\n> private=<p> ip=<a> dns=[] allowed=[] mtu=1)"},
        LegacyCase{"NotJsonAtAll",
                   R"(garbage "serverEndpoint" x : "e" "serverPublicKey":"k" "privateKey":"p" )"
                   R"("assignedIp":"a" "dnsServers"[] "allowedIps" [ "n" ] "mtu" junk : 7)",
                   "endpoint=<e> public=<k> private=<p> ip=<a> dns=[] allowed=[<n>] mtu=7"},
        LegacyCase{"KeyMissing",
                   R"({"serverEndpoint":"e","serverPublicKey":"k","assignedIp":"a",)"
                   R"("dnsServers":[],"allowedIps":[],"mtu":1})",
                   "invalid"},
        LegacyCase{"StringValueUnterminated",
                   R"({"serverEndpoint":"e","serverPublicKey":"k","privateKey":"p",)"
                   R"("dnsServers":[],"allowedIps":[],"mtu":1,"assignedIp":"10.0.0.2)",
                   "invalid"},
        LegacyCase{"StringValueUnquoted",
                   R"({"dnsServers":[],"allowedIps":[],"mtu":1,"serverPublicKey":"k",)"
                   R"("privateKey":"p","assignedIp":"a","serverEndpoint":5})",
                   "invalid"},
        LegacyCase{"KeyWithoutColon", R"({"serverEndpoint"})", "invalid"},
        LegacyCase{"Empty", "", "invalid"},
        // Keys are matched with their quotes, so a longer key does not stand in for a shorter.
        LegacyCase{"KeyNeedsQuotes",
                   R"({"serverEndpointX":"x","serverPublicKey":"k","privateKey":"p",)"
                   R"("assignedIp":"a","dnsServers":[],"allowedIps":[],"mtu":1})",
                   "invalid"}),
    CaseName);

}  // namespace
}  // namespace orvo_vpn_win_svc
