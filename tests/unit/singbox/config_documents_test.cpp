// The three sing-box documents, each compared whole with a document written by hand from the
// documents' field tables (or with such a document and the edits that make another from it), for
// the requests in tests/golden/unit/singbox/documents.txt.
#include "singbox/config_documents.h"

#include <gtest/gtest.h>

#include <map>
#include <sstream>

#include "support/case_file.h"

namespace orvo_vpn_win_svc {
namespace {

// The document of a request line: its kind, then its fields.
std::string Build(const std::string& request) {
  std::istringstream words(request);
  std::string kind;
  words >> kind;
  std::map<std::string, std::string> f;
  for (std::string word; words >> word;) f[word.substr(0, word.find('='))] = word.substr(word.find('=') + 1);
  const auto number = [&](const char* key, int32_t fallback) {
    return f.contains(key) ? std::stoi(f[key]) : fallback;
  };
  if (kind == "relay") {
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
  return kind == "tor" ? BuildHysteria2TorConfig(r, tun) : BuildHysteria2Config(r, tun);
}

// `base` with `edits` made to it in turn, read as documents.txt says.
std::string Edited(const std::string& base, const std::string& edits) {
  std::string done;
  std::string rest = base;
  std::istringstream lines(edits);
  for (std::string edit; std::getline(lines, edit);) {
    const std::string text = edit.substr(2);
    if (edit[0] == '+') {
      done += text + "\n";
    } else if (edit[0] == '*') {
      const std::string from = text.substr(0, text.find(" -> "));
      const std::string to = text.substr(from.size() + 4);
      for (size_t at = rest.find(from); at != std::string::npos;
           at = rest.find(from, at + to.size())) {
        rest.replace(at, from.size(), to);
      }
    } else if (const size_t at = ("\n" + rest).find("\n" + text + "\n"); at != std::string::npos) {
      done += rest.substr(0, edit[0] == '=' ? at + text.size() + 1 : at);
      rest.erase(0, at + text.size() + 1);
    } else {
      ADD_FAILURE() << "no line left is: " << text;
    }
  }
  return done + rest;
}

TEST(ConfigDocuments, MatchTheirGoldenTexts) {
  std::map<std::string, std::string> documents;
  for (const orvo_test::TextCase& c : orvo_test::ReadCases("unit/singbox/documents.txt")) {
    std::string& expected = documents[c.name];
    expected = c.Has("from")         ? Edited(documents.at(c["from"]), c["edits"])
               : c["golden"] == "none" ? "\n"
                                       : orvo_test::GoldenText("unit/singbox/" + c["golden"]);
    std::istringstream requests(c["requests"]);
    for (std::string request; std::getline(requests, request);) {
      EXPECT_EQ(Build(request) + "\n", expected) << c.name << ": " << request;
    }
  }
}

}  // namespace
}  // namespace orvo_vpn_win_svc
