// The client turns its command line into exactly the request the service expects, and its exit
// code tells success and a refused command apart (tests/golden/unit/ctl/requests.txt).
#include <gtest/gtest.h>

#include <sstream>

#include "ctl_reply.h"
#include "ctl_request.h"
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
      // The files the table names are those beside it.
      if (word.starts_with("golden/")) {
        word.insert(0, ORVO_SOURCE_DIR "/tests/");
      }
      arguments.push_back(word == "\"\"" ? "" : word);
    }
    const CtlParse parse = ParseCtlArguments(arguments);
    EXPECT_EQ(parse.ok ? parse.request.message : "refused", row[1]) << parse.error;
    EXPECT_EQ(parse.error, row[2]);
  }
}

}  // namespace
}  // namespace orvo_vpn_ctl
