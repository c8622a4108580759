// The client turns its command line into exactly the request the service expects, and its exit
// code tells success and a refused command apart (tests/golden/unit/ctl/requests.txt).
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "ctl_reply.h"
#include "ctl_request.h"
#include "support/scratch_directory.h"
#include "support/case_file.h"

namespace orvo_vpn_ctl {
namespace {

TEST(Ctl, RequestsAndRepliesMatchTheirTable) {
  for (const orvo_test::TextCase& c : orvo_test::ReadCases("unit/ctl/requests.txt")) {
    SCOPED_TRACE(c.name);
    if (c.Has("reply")) {
      EXPECT_EQ(ExitCodeForReply(c["reply"]), std::stoi(c["exit"]));
      if (c.Has("pretty")) {
        EXPECT_EQ(FormatReply(c["reply"], true) + "\n", c["pretty"]);
      }
      continue;
    }
    std::vector<std::string> arguments;
    std::istringstream lines(c["args"]);
    for (std::string line; std::getline(lines, line);) arguments.push_back(line);
    const CtlParse parse = ParseCtlArguments(arguments);
    EXPECT_EQ(parse.ok ? parse.request.message : "refused", c["message"]) << parse.error;
    EXPECT_EQ(parse.error, c["error"]);
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
