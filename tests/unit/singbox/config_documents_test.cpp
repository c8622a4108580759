// The three sing-box documents, each compared whole with a document written by hand from the
// documents' field tables (tests/golden/unit/singbox/); rows vary what changes the text.
#include "singbox/config_documents.h"

#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <iterator>

namespace orvo_vpn_win_svc {
namespace {

// The golden file's text without the line feed that ends the file.
std::string Golden(const std::string& name) {
  if (name.empty()) return "";
  std::ifstream file(std::string(ORVO_SOURCE_DIR) + "/tests/golden/unit/singbox/" + name,
                     std::ios::binary);
  std::string text{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
  EXPECT_FALSE(text.empty()) << name;
  return text.substr(0, text.size() - 1);
}

// The TUN options the runtime hands over for both tunnel kinds.
TunOptions Tun() {
  return {"172.19.0.1/30", "fdfe:dcba:9876::1/126", 1400, true, true, "system", ""};
}

std::string Plain(const std::function<void(Hysteria2ConnectRequest&)>& change, bool tor = false) {
  Hysteria2ConnectRequest r;
  r.server_ip = "203.0.113.7";
  r.server_domain = "vpn.example.org";
  r.password = "p@ss\"word\\";
  change(r);
  return tor ? BuildHysteria2TorConfig(r, Tun()) : BuildHysteria2Config(r, Tun());
}

// Non-ASCII texts are written as raw UTF-8: "pässwörd", "sälamander-Schlüssel".
std::string Obfuscated(const std::function<void(Hysteria2ConnectRequest&)>& change, bool tor) {
  return Plain(
      [&](Hysteria2ConnectRequest& r) {
        r.server_ip = "198.51.100.20";
        r.server_domain = "edge.example.net";
        r.port = 8443;
        r.password = "p\xC3\xA4ssw\xC3\xB6rd";
        r.obfs_password = "s\xC3\xA4lamander-Schl\xC3\xBCssel";
        r.speed_mbps = 250;
        change(r);
      },
      tor);
}

std::string Relay(const std::function<void(RelayConfigInput&)>& change) {
  RelayConfigInput relay{"relay.example.com", "192.0.2.44", 9443, "relay-p\xC3\xA4ssword",
                         "Xq3LmT8vRk2Wn5PzYc7HdJ4sGb9FaE6uNw1VoKi0Rtg=", 10808};
  change(relay);
  return BuildRelayConfig(relay);
}

TEST(ConfigDocuments, MatchTheirGoldenTexts) {
  const auto same = [](auto&) {};
  const struct {
    const char* row;
    std::string document;
    const char* golden;
  } rows[] = {
      {"plain, speed absent", Plain(same), "hysteria2_plain.json"},
      {"plain, speed 0: no bandwidth hints", Plain([](auto& r) { r.speed_mbps = 0; }),
       "hysteria2_plain.json"},
      {"plain, obfs password without domain: no obfuscation",
       Plain([](auto& r) { r.obfs_password = "x", r.server_domain = ""; }),
       "hysteria2_plain.json"},
      {"plain, empty obfs password: no obfuscation", Plain([](auto& r) { r.obfs_password = ""; }),
       "hysteria2_plain.json"},
      {"plain, obfuscated, speed 250", Obfuscated(same, false), "hysteria2_obfs.json"},
      {"tor, port forced to 8443", Plain(same, true), "hysteria2_tor_plain.json"},
      {"tor, obfuscated keeps its port, speed 1 gives hints",
       Obfuscated(
           [](auto& r) {
             r.port = 443, r.password = "tor-pass", r.obfs_password = "obfs-secret";
             r.speed_mbps = 1;
           },
           true),
       "hysteria2_tor_obfs.json"},
      {"relay", Relay([](auto&) {}), "relay.json"},
      // A document holding text that is no UTF-8 is not written at all.
      {"plain, password not UTF-8", Plain([](auto& r) { r.password = "pa\xFFss"; }), ""},
      {"tor, domain an encoded surrogate",
       Obfuscated([](auto& r) { r.server_domain = "\xED\xA0\x80.example"; }, true), ""},
      {"relay, domain not UTF-8", Relay([](auto& r) { r.relay_domain = "\xC3"; }), ""},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(row.document, Golden(row.golden)) << row.row;
  }
}

}  // namespace
}  // namespace orvo_vpn_win_svc
