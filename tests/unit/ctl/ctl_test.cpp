// The client turns its command line into exactly the request the service expects, and its exit
// code tells success and a refused command apart (tests/golden/unit/ctl/requests.txt).
#include <gtest/gtest.h>

#include <sstream>

#include "ctl_reply.h"
#include "ctl_request.h"
#include "support/case_file.h"

namespace orvo_vpn_ctl {
namespace {

TEST(Ctl, RequestsAndRepliesMatchTheirTable) {
  orvo_test::ForEachRow("unit/ctl/requests.txt", [](const orvo_test::TextCase& section,
                                                    const std::vector<std::string>& row) {
    if (section.name.starts_with("replies")) {
      EXPECT_EQ(ExitCodeForReply(row[0]), std::stoi(row[1]));
      if (section.Has("pretty")) {
        EXPECT_EQ(FormatReply(row[0], true) + "\n", section["pretty"]);
      }
      return;
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
  });
}

}  // namespace
}  // namespace orvo_vpn_ctl
