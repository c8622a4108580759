// The client turns its command line into exactly the request the service expects, and its exit
// code tells success and a refused command apart (tests/golden/unit/ctl/requests.txt).
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "ctl_reply.h"
#include "ctl_request.h"
#include "support/scratch_directory.h"
#include "unit/ipc/table_rows.h"

namespace orvo_vpn_ctl {
namespace {

TEST(Ctl, RequestsAndRepliesMatchTheirTable) {
  for (const orvo_test::TableRow& row : orvo_test::ReadRows("unit/ctl/requests.txt")) {
    SCOPED_TRACE(row.section.name + ": " + row[0]);
    if (row.section.name.starts_with("replies")) {
      EXPECT_EQ(ExitCodeForReply(row[0]), std::stoi(row[1]));
      if (row.section.Has("pretty")) {
        EXPECT_EQ(FormatReply(row[0], true) + "\n", row.section["pretty"]);
      }
      continue;
    }
    std::vector<std::string> arguments;
    std::istringstream words(row[0]);
    for (std::string word; std::getline(words, word, ' ');) {
      arguments.push_back(word == "\"\"" ? "" : word);
    }
    const CtlParse parse = ParseCtlArguments(arguments);
    EXPECT_EQ(parse.ok ? parse.request.message : "refused", row[1]) << parse.error;
    EXPECT_EQ(parse.error, row[2]);
  }
}

// Options on the command line override the config file's members; the WireGuard file is sent
// as the legacy connect.
TEST(Ctl, ReadsConnectConfigAndWireGuardFiles) {
  orvo_test::ScratchDirectory scratch;
  std::ofstream(scratch.path() / "config.json") << R"({"server_ip":"192.0.2.1","port":443})";
  std::ofstream(scratch.path() / "wg.conf") << R"({"serverEndpoint":"192.0.2.1:51820"})";
  EXPECT_EQ(ParseCtlArguments({"connect", "--config", (scratch.path() / "config.json").string(),
                               "--port", "9"}).request.message,
            R"({"cmd":"connect","config":{"port":9,"server_ip":"192.0.2.1"},"metadata":{}})");
  EXPECT_EQ(ParseCtlArguments({"wg-connect", (scratch.path() / "wg.conf").string()}).request.message,
            R"(connect:{"serverEndpoint":"192.0.2.1:51820"})");
}

}  // namespace
}  // namespace orvo_vpn_ctl
