// The command handler's whole reply, the handler it calls with which record, and its log, for
// each request in the tables under tests/golden/unit/ipc/.
#include <gtest/gtest.h>

#include "ipc/ipc_server.h"
#include "platform/log_capture.h"
#include "unit/ipc/recording_handlers.h"

namespace orvo_vpn_win_svc {
namespace {

TEST(IpcRequests, EachGetsItsWholeReply) {
  for (const orvo_test::TextCase& c : orvo_test::ReadCases("unit/ipc/requests.txt")) {
    SCOPED_TRACE(c.name);
    IpcServer server;
    orvo_test::RecordingHandlers handlers(c);
    if (c["handlers"] != "none") {
      handlers.Install(server);
    }
    LogCapture capture;
    EXPECT_EQ(server.HandleRequest(c["request"]), c["reply"]);
    EXPECT_EQ(handlers.calls, c["calls"]);
    if (c.Has("record")) {
      EXPECT_EQ(handlers.records, c["record"]);
    }
    if (c.Has("log")) {
      EXPECT_EQ(capture.StandardError(), c["log"]);
    }
  }
}

// The legacy connect hands the handler what the text says, or is refused as "err:bad_json".
TEST(IpcRequests, LegacyConfigIsReadByItsRules) {
  for (const orvo_test::TextCase& c : orvo_test::ReadCases("unit/ipc/legacy_config.txt")) {
    SCOPED_TRACE(c.name);
    IpcServer server;
    orvo_test::RecordingHandlers handlers(c);
    handlers.Install(server);
    const std::string reply = server.HandleRequest("connect:" + c["text"]);
    EXPECT_EQ(reply == "ok" ? handlers.records : reply + "\n", c["parsed"] + "\n");
  }
}

}  // namespace
}  // namespace orvo_vpn_win_svc
