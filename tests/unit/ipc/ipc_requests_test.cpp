// The command handler's whole reply, the handlers it calls with which record, and its log, for
// each request in the tables under tests/golden/unit/ipc/.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "ipc/ipc_server.h"
#include "platform/log_capture.h"
#include "unit/ipc/recording_handlers.h"
#include "unit/ipc/table_rows.h"

namespace orvo_vpn_win_svc {
namespace {

TEST(IpcRequests, EachGetsItsWholeReply) {
  for (const char* table : {"unit/ipc/requests.txt", "unit/ipc/legacy_config.txt"}) {
    for (const orvo_test::TableRow& row : orvo_test::ReadRows(table)) {
      SCOPED_TRACE(row.section.name + ": " + row[0]);
      IpcServer server;
      orvo_test::RecordingHandlers handlers(row.section);
      if (row.section["handlers"] != "none") {
        handlers.Install(server);
      }
      LogCapture capture;
      EXPECT_EQ(server.HandleRequest(row.section["before"] + row[0]), row[1]);
      EXPECT_EQ(handlers.calls, row[2]);
      EXPECT_THAT(handlers.records, testing::HasSubstr(row[3]));
      EXPECT_TRUE(orvo_test::MatchesChecks(capture.StandardError(), row.section["log"]));
    }
  }
}

}  // namespace
}  // namespace orvo_vpn_win_svc
