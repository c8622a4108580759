#include "singbox/config_documents.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "singbox/config_sections.h"

namespace orvo_vpn_win_svc {
namespace {

using nlohmann::json;

// Golden documents are written by hand from the documents' field tables. Each file ends with
// one line feed that the serialised document does not have.
std::string ReadGolden(const std::string& name) {
  const std::string path = std::string(ORVO_SOURCE_DIR) + "/tests/unit/singbox/golden/" + name;
  std::ifstream file(path, std::ios::binary);
  if (!file) {
    ADD_FAILURE() << "cannot open golden file " << path;
    return std::string();
  }
  std::string text;
  char chunk[4096];
  while (file.read(chunk, sizeof chunk) || file.gcount() > 0) {
    text.append(chunk, static_cast<size_t>(file.gcount()));
  }
  if (!text.empty() && text.back() == '\n') {
    text.pop_back();
  }
  return text;
}

// The TUN options the runtime hands over for both tunnel kinds.
TunOptions RuntimeTunOptions() {
  TunOptions tun;
  tun.inet4_address = "172.19.0.1/30";
  tun.inet6_address = "fdfe:dcba:9876::1/126";
  tun.mtu = 1400;
  tun.auto_route = true;
  tun.strict_route = true;
  tun.stack = "system";
  return tun;
}

Hysteria2ConnectRequest PlainRequest() {
  Hysteria2ConnectRequest request;
  request.server_ip = "203.0.113.7";
  request.server_domain = "vpn.example.org";
  request.port = 443;
  request.password = "p@ss\"word\\";
  return request;
}

Hysteria2ConnectRequest ObfsRequest() {
  Hysteria2ConnectRequest request = PlainRequest();
  request.server_ip = "198.51.100.20";
  request.server_domain = "edge.example.net";
  request.obfs_password = "obfs-secret";
  return request;
}

Hysteria2ConnectRequest WithSpeed(Hysteria2ConnectRequest request, std::optional<int32_t> speed) {
  request.speed_mbps = speed;
  return request;
}

RelayConfigInput RelayInput() {
  RelayConfigInput relay;
  relay.relay_domain = "relay.example.com";
  relay.resolved_address = "192.0.2.44";
  relay.relay_port = 9443;
  relay.password = "relay-p\xC3\xA4ssword";  // "relay-pässword"
  relay.obfs_password = "Xq3LmT8vRk2Wn5PzYc7HdJ4sGb9FaE6uNw1VoKi0Rtg=";
  relay.local_port = 10808;
  return relay;
}

enum class Kind { kPlain, kTor };

std::string Build(Kind kind, const Hysteria2ConnectRequest& request, const TunOptions& tun) {
  return kind == Kind::kPlain ? BuildHysteria2Config(request, tun)
                              : BuildHysteria2TorConfig(request, tun);
}

json HysteriaOutbound(Kind kind, const Hysteria2ConnectRequest& request) {
  return json::parse(Build(kind, request, RuntimeTunOptions())).at("outbounds").at(0);
}

TEST(ConfigDocuments, TunnelDocumentsMatchGoldenTexts) {
  // Non-ASCII texts are written as raw UTF-8: "pässwörd", "sälamander-Schlüssel".
  Hysteria2ConnectRequest obfs_request = ObfsRequest();
  obfs_request.port = 8443;
  obfs_request.password = "p\xC3\xA4ssw\xC3\xB6rd";
  obfs_request.obfs_password = "s\xC3\xA4lamander-Schl\xC3\xBCssel";
  obfs_request.speed_mbps = 250;

  Hysteria2ConnectRequest tor_obfs_request = obfs_request;
  tor_obfs_request.port = 443;
  tor_obfs_request.password = "tor-pass";
  tor_obfs_request.obfs_password = "obfs-secret";
  tor_obfs_request.speed_mbps = 1;

  struct Case {
    const char* what;
    Kind kind;
    Hysteria2ConnectRequest request;
    const char* golden;
  };
  const std::vector<Case> cases = {
      {"plain, speed absent", Kind::kPlain, PlainRequest(), "hysteria2_plain.json"},
      {"plain, speed 0", Kind::kPlain, WithSpeed(PlainRequest(), 0), "hysteria2_plain.json"},
      {"plain, speed -5", Kind::kPlain, WithSpeed(PlainRequest(), -5), "hysteria2_plain.json"},
      {"plain, speed minimum", Kind::kPlain,
       WithSpeed(PlainRequest(), std::numeric_limits<int32_t>::min()), "hysteria2_plain.json"},
      {"plain, obfuscated, speed 250", Kind::kPlain, obfs_request, "hysteria2_obfs.json"},
      {"tor, port forced", Kind::kTor, PlainRequest(), "hysteria2_tor_plain.json"},
      {"tor, speed -1", Kind::kTor, WithSpeed(PlainRequest(), -1), "hysteria2_tor_plain.json"},
      {"tor, obfuscated, speed 1", Kind::kTor, tor_obfs_request, "hysteria2_tor_obfs.json"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(Build(c.kind, c.request, RuntimeTunOptions()), ReadGolden(c.golden));
  }
}

TEST(ConfigDocuments, RelayDocumentMatchesGoldenText) {
  EXPECT_EQ(BuildRelayConfig(RelayInput()), ReadGolden("relay.json"));
}

TEST(ConfigDocuments, RelayAlwaysObfuscatesAndChecksTheCertificate) {
  RelayConfigInput relay = RelayInput();
  relay.obfs_password.clear();
  relay.relay_domain.clear();
  relay.local_port = 1080;
  const json outbound = json::parse(BuildRelayConfig(relay)).at("outbounds").at(0);
  EXPECT_EQ(outbound.at("obfs"), json::parse(R"({"password":"","type":"salamander"})"));
  EXPECT_EQ(outbound.at("tls"),
            json::parse(R"({"alpn":["h3"],"enabled":true,"insecure":false,"server_name":""})"));
  EXPECT_EQ(json::parse(BuildRelayConfig(relay)).at("inbounds").at(0).at("listen_port"), 1080);
}

TEST(ConfigDocuments, ObfuscationNeedsPasswordAndDomain) {
  struct Case {
    const char* what;
    std::optional<std::string> obfs_password;
    std::string server_domain;
    bool obfuscated;
  };
  const std::vector<Case> cases = {
      {"no obfs_password", std::nullopt, "edge.example.net", false},
      {"empty obfs_password", std::string(), "edge.example.net", false},
      {"empty server_domain", std::string("obfs-secret"), "", false},
      {"both present", std::string("obfs-secret"), "edge.example.net", true},
  };
  const json plain_tls =
      json::parse(R"({"enabled":true,"insecure":true,"server_name":"www.bing.com"})");
  const json obfs_tls = json::parse(
      R"({"alpn":["h3"],"enabled":true,"insecure":false,"server_name":"edge.example.net"})");
  const json obfs = json::parse(R"({"password":"obfs-secret","type":"salamander"})");
  for (Kind kind : {Kind::kPlain, Kind::kTor}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(c.what) + (kind == Kind::kTor ? " (tor)" : " (plain)"));
      Hysteria2ConnectRequest request = PlainRequest();
      request.obfs_password = c.obfs_password;
      request.server_domain = c.server_domain;
      const json outbound = HysteriaOutbound(kind, request);
      EXPECT_EQ(UsesObfuscation(request), c.obfuscated);
      EXPECT_EQ(outbound.at("tls"), c.obfuscated ? obfs_tls : plain_tls);
      if (c.obfuscated) {
        EXPECT_EQ(outbound.at("obfs"), obfs);
      } else {
        EXPECT_FALSE(outbound.contains("obfs"));
      }
    }
  }
}

TEST(ConfigDocuments, SpeedHintsOnlyForAtLeastOneMbps) {
  const std::vector<std::optional<int32_t>> no_hints = {
      std::nullopt, 0, -5, std::numeric_limits<int32_t>::min()};
  const std::vector<int32_t> hints = {1, 250, std::numeric_limits<int32_t>::max()};
  for (Kind kind : {Kind::kPlain, Kind::kTor}) {
    for (const std::optional<int32_t>& speed : no_hints) {
      SCOPED_TRACE(speed ? std::to_string(*speed) : std::string("absent"));
      const json outbound = HysteriaOutbound(kind, WithSpeed(PlainRequest(), speed));
      EXPECT_FALSE(outbound.contains("up_mbps"));
      EXPECT_FALSE(outbound.contains("down_mbps"));
    }
    for (int32_t speed : hints) {
      SCOPED_TRACE(speed);
      const std::string text = Build(kind, WithSpeed(PlainRequest(), speed), RuntimeTunOptions());
      const std::string number = std::to_string(speed);
      EXPECT_NE(text.find("\"down_mbps\": " + number + ",\n"), std::string::npos) << text;
      EXPECT_NE(text.find("\"up_mbps\": " + number + "\n"), std::string::npos) << text;
    }
  }
}

TEST(ConfigDocuments, TorPortIsForcedOnlyWithoutObfsPassword) {
  struct Case {
    const char* what;
    std::optional<std::string> obfs_password;
    std::string server_domain;
    int32_t requested_port;
    int64_t written_port;
  };
  const std::vector<Case> cases = {
      {"no obfs_password, 443", std::nullopt, "edge.example.net", 443, 8443},
      {"no obfs_password, 8443", std::nullopt, "edge.example.net", 8443, 8443},
      {"empty obfs_password, 1234", std::string(), "edge.example.net", 1234, 8443},
      {"obfs_password, 443", std::string("o"), "edge.example.net", 443, 443},
      {"obfs_password, 1234", std::string("o"), "edge.example.net", 1234, 1234},
      {"obfs_password without domain", std::string("o"), "", 443, 443},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Hysteria2ConnectRequest request = PlainRequest();
    request.obfs_password = c.obfs_password;
    request.server_domain = c.server_domain;
    request.port = c.requested_port;
    const Hysteria2ConnectRequest before = request;
    EXPECT_EQ(HysteriaOutbound(Kind::kTor, request).at("server_port"), c.written_port);
    EXPECT_EQ(TorServerPort(request), c.written_port);
    EXPECT_EQ(request.port, before.port);
    // The plain document never changes the port.
    EXPECT_EQ(HysteriaOutbound(Kind::kPlain, request).at("server_port"), c.requested_port);
  }
}

TEST(ConfigDocuments, ServerAddressIsExcludedFromTheTunnelRoutes) {
  struct Case {
    const char* server_ip;
    const char* caller_exclusion;
    std::optional<json> exclusion;
  };
  const std::vector<Case> cases = {
      {"203.0.113.7", "", json::array({"203.0.113.7/32"})},
      {"203.0.113.7", "10.9.9.9", json::array({"203.0.113.7/32"})},
      // The suffix does not depend on the address family.
      {"2001:db8::1", "", json::array({"2001:db8::1/32"})},
      {"", "", std::nullopt},
      {"", "10.9.9.9", std::nullopt},
  };
  for (Kind kind : {Kind::kPlain, Kind::kTor}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(c.server_ip) + " over '" + c.caller_exclusion + "'");
      Hysteria2ConnectRequest request = PlainRequest();
      request.server_ip = c.server_ip;
      TunOptions tun = RuntimeTunOptions();
      tun.route_exclude_address = c.caller_exclusion;
      const json document = json::parse(Build(kind, request, tun));
      const json& inbound = document.at("inbounds").at(0);
      if (c.exclusion) {
        EXPECT_EQ(inbound.at("route_exclude_address"), *c.exclusion);
      } else {
        EXPECT_FALSE(inbound.contains("route_exclude_address"));
      }
      EXPECT_EQ(document.at("outbounds").at(0).at("server"), c.server_ip);
    }
  }
}

TEST(ConfigDocuments, TunInboundCarriesTheCallersOptionsAndNothingElse) {
  TunOptions tun;
  tun.inet4_address = "10.0.0.2/24";
  tun.inet6_address = "fd00::2/64";
  tun.mtu = 1280;
  tun.auto_route = false;
  tun.strict_route = true;
  tun.stack = "gvisor";
  Hysteria2ConnectRequest request = PlainRequest();
  request.server_ip = "192.0.2.1";
  const json expected = json::parse(R"({
    "address": ["10.0.0.2/24", "fd00::2/64"], "auto_route": false, "interface_name": "OrvoVPN",
    "mtu": 1280, "route_exclude_address": ["192.0.2.1/32"], "stack": "gvisor",
    "strict_route": true, "tag": "tun-in", "type": "tun"})");
  for (Kind kind : {Kind::kPlain, Kind::kTor}) {
    EXPECT_EQ(json::parse(Build(kind, request, tun)).at("inbounds").at(0), expected);
  }
}

TEST(ConfigDocuments, CallersRecordsAreLeftUnchanged) {
  TunOptions tun = RuntimeTunOptions();
  tun.route_exclude_address = "caller's own";
  Hysteria2ConnectRequest request = PlainRequest();
  request.speed_mbps = 5;
  for (Kind kind : {Kind::kPlain, Kind::kTor}) {
    Build(kind, request, tun);
    EXPECT_EQ(tun.inet4_address, "172.19.0.1/30");
    EXPECT_EQ(tun.inet6_address, "fdfe:dcba:9876::1/126");
    EXPECT_EQ(tun.mtu, 1400);
    EXPECT_TRUE(tun.auto_route);
    EXPECT_TRUE(tun.strict_route);
    EXPECT_EQ(tun.stack, "system");
    EXPECT_EQ(tun.route_exclude_address, "caller's own");
    EXPECT_EQ(request.port, 443);
    EXPECT_EQ(request.server_ip, "203.0.113.7");
  }
}

// Position of each top-level key in the text, in the order they must appear.
std::vector<size_t> TopLevelKeyPositions(const std::string& text,
                                         const std::vector<std::string>& keys) {
  std::vector<size_t> positions;
  for (const std::string& key : keys) {
    positions.push_back(text.find("\n  \"" + key + "\": "));
  }
  return positions;
}

TEST(ConfigDocuments, TopLevelKeysAppearInAscendingOrder) {
  const std::vector<std::string> tunnel_keys = {"dns", "inbounds", "log", "outbounds", "route"};
  const std::vector<std::string> relay_keys = {"inbounds", "log", "outbounds", "route"};
  const std::vector<std::pair<std::string, std::vector<std::string>>> documents = {
      {BuildHysteria2Config(PlainRequest(), RuntimeTunOptions()), tunnel_keys},
      {BuildHysteria2TorConfig(PlainRequest(), RuntimeTunOptions()), tunnel_keys},
      {BuildRelayConfig(RelayInput()), relay_keys},
  };
  for (const auto& [text, keys] : documents) {
    ASSERT_EQ(text.substr(0, 2), "{\n");
    const std::vector<size_t> positions = TopLevelKeyPositions(text, keys);
    for (size_t i = 0; i < positions.size(); ++i) {
      ASSERT_NE(positions[i], std::string::npos) << keys[i];
      if (i > 0) {
        EXPECT_LT(positions[i - 1], positions[i]) << keys[i];
      }
    }
    EXPECT_EQ(json::parse(text).size(), keys.size());
  }
}

// Request texts arrive as valid UTF-8 from the JSON parser, but a record built in code may
// hold anything. A document that cannot be written faithfully is not written at all.
TEST(ConfigDocuments, InvalidUtf8GivesNoDocument) {
  const std::string bad = "pa\xFFss";
  Hysteria2ConnectRequest bad_password = ObfsRequest();
  bad_password.password = bad;
  Hysteria2ConnectRequest bad_obfs = ObfsRequest();
  bad_obfs.obfs_password = "\xC3";
  Hysteria2ConnectRequest bad_domain = ObfsRequest();
  bad_domain.server_domain = "\xED\xA0\x80.example";  // an encoded surrogate
  Hysteria2ConnectRequest bad_ip = PlainRequest();
  bad_ip.server_ip = "\xC0\xAE";  // an overlong encoding
  TunOptions bad_tun = RuntimeTunOptions();
  bad_tun.stack = bad;

  for (Kind kind : {Kind::kPlain, Kind::kTor}) {
    EXPECT_EQ(Build(kind, bad_password, RuntimeTunOptions()), "");
    EXPECT_EQ(Build(kind, bad_obfs, RuntimeTunOptions()), "");
    EXPECT_EQ(Build(kind, bad_domain, RuntimeTunOptions()), "");
    EXPECT_EQ(Build(kind, bad_ip, RuntimeTunOptions()), "");
    EXPECT_EQ(Build(kind, PlainRequest(), bad_tun), "");
  }
  RelayConfigInput bad_relay_password = RelayInput();
  bad_relay_password.password = bad;
  RelayConfigInput bad_relay_domain = RelayInput();
  bad_relay_domain.relay_domain = bad;
  EXPECT_EQ(BuildRelayConfig(bad_relay_password), "");
  EXPECT_EQ(BuildRelayConfig(bad_relay_domain), "");
}

}  // namespace
}  // namespace orvo_vpn_win_svc
