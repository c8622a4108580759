// The three sing-box documents, each compared whole with a document written by hand from the
// documents' field tables, for the requests in tests/golden/unit/singbox/documents.txt.
#include "singbox/config_documents.h"

#include <gtest/gtest.h>

#include <map>
#include <sstream>

#include "support/case_file.h"

namespace orvo_vpn_win_svc {
namespace {

std::string Build(const orvo_test::TextCase& c) {
  std::map<std::string, std::string> f;
  std::istringstream words(c["fields"]);
  for (std::string word; words >> word;) f[word.substr(0, word.find('='))] = word.substr(word.find('=') + 1);
  const auto number = [&](const char* key, int32_t fallback) {
    return f.contains(key) ? std::stoi(f[key]) : fallback;
  };
  if (c["kind"] == "relay") {
    return BuildRelayConfig({f["relay_domain"], f["resolved"], number("port", 443), f["password"],
                             f["obfs_password"], number("local_port", 10808)});
  }
  Hysteria2ConnectRequest r;
  r.server_ip = f["server_ip"];
  r.server_domain = f["server_domain"];
  r.port = number("port", 443);
  r.password = f["password"];
  if (f.contains("obfs_password")) r.obfs_password = f["obfs_password"];
  if (f.contains("speed")) r.speed_mbps = number("speed", 0);
  const TunOptions tun{"172.19.0.1/30", "fdfe:dcba:9876::1/126", 1400, true, true, "system", ""};
  return c["kind"] == "tor" ? BuildHysteria2TorConfig(r, tun) : BuildHysteria2Config(r, tun);
}

TEST(ConfigDocuments, MatchTheirGoldenTexts) {
  for (const orvo_test::TextCase& c : orvo_test::ReadCases("unit/singbox/documents.txt")) {
    const std::string golden = c["golden"];
    EXPECT_EQ(Build(c) + "\n",
              golden == "none" ? "\n" : orvo_test::GoldenText("unit/singbox/" + golden))
        << c.name;
  }
}

}  // namespace
}  // namespace orvo_vpn_win_svc
