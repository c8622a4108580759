// The command handler's whole reply, the handlers it calls with which record, and its log, for
// each request in the tables under tests/golden/unit/ipc/.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "ipc/ipc_server.h"
#include "platform/log_capture.h"
#include "support/case_file.h"
#include "unit/ipc/recording_handlers.h"

namespace orvo_vpn_win_svc {
namespace {

TEST(IpcRequests, EachGetsItsWholeReply) {
  for (const char* table : {"unit/ipc/requests.txt", "unit/ipc/legacy_config.txt"}) {
    orvo_test::ForEachRow(
        table, [](const orvo_test::TextCase& section, const std::vector<std::string>& row) {
          IpcServer server;
          orvo_test::RecordingHandlers handlers(section);
          if (section["handlers"] != "none") {
            handlers.Install(server);
          }
          LogCapture capture;
          EXPECT_EQ(server.HandleRequest(section["before"] + row[0]), row[1]);
          EXPECT_EQ(handlers.calls, row[2]);
          EXPECT_THAT(handlers.records, testing::HasSubstr(row[3]));
          EXPECT_TRUE(orvo_test::MatchesChecks(capture.StandardError(), section["log"]));
        });
  }
}

}  // namespace
}  // namespace orvo_vpn_win_svc
