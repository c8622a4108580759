// The runtime as the service builds it: on the real system, with the process-wide sing-box
// wrapper and WFP manager. On Linux it runs in a network namespace of its own, as its disconnect
// removes the links described "Wintun" it finds.
#include <gtest/gtest.h>

#include "platform/log_capture.h"
#include "runtime/runtime.h"
#include "support/network_namespace.h"
#include "support/platform_kind.h"
#include "support/stand_in.h"

namespace orvo_vpn_win_svc {
namespace {

TEST(RuntimeOnTheSystem, InitializesWithTheStandInAndDisconnectsWithNothingUp) {
  const auto body = [] {
    LogCapture log;
    Runtime runtime;
    ASSERT_TRUE(runtime.Initialize(orvo_test::StandInDirectory()));
    EXPECT_NE(
        log.StandardError().find(
            "ORVO_SVC: sing-box.exe initialized, version: sing-box version 1.11.0-stand-in\n"),
        std::string::npos)
        << log.StandardError();
    runtime.Disconnect();
    EXPECT_EQ(runtime.GetState(), "disconnected");
    EXPECT_NE(log.Debugger().find(L"ORVO_SVC: Disconnected\n"), std::wstring::npos);
  };
  if (orvo_test::kWindows) {
    body();
    return;
  }
  std::string why_not;
  if (!orvo_test::RunInOwnNetworkNamespace(body, why_not)) {
    GTEST_SKIP() << "SKIPPED LOUDLY: this test needs its own network namespace: " << why_not;
  }
}

}  // namespace
}  // namespace orvo_vpn_win_svc
