// The Win32 filtering engine as Wine runs it: fwpuclnt is there, but FwpmEngineOpen0 refuses
// with RPC_S_CANNOT_SUPPORT, so the service runs on without a kill switch.

#include <gtest/gtest.h>

#include "killswitch/wfp_manager.h"
#include "platform/log_capture.h"
#include "platform/wfp_engine.h"
#include "support/platform_kind.h"

namespace {

using namespace orvo_vpn_win_svc;

TEST(WfpUnderWine, EngineRefusesTheSessionAndTheManagerRefusesEveryOperation) {
  if (!orvo_test::kWindows || !orvo_test::RunningUnderWine()) {
    GTEST_SKIP() << "this case covers the Win32 engine under Wine, which refuses FwpmEngineOpen0 "
                    "with 1764 (the Linux build models WFP in memory; real Windows opens it)";
  }
  platform::WfpSessionOpen probe =
      platform::SystemWfpEngine()->OpenSession({L"ORVO probe", L"", true, 0});
  ASSERT_EQ(probe.code, platform::kRpcCannotSupport);

  WfpManager& manager = WfpManager::Instance();
  ASSERT_EQ(&manager, &WfpManager::Instance());
  LogCapture log;
  EXPECT_FALSE(manager.Initialize());
  EXPECT_EQ(manager.last_error(), "FwpmEngineOpen failed: 1764");

  KillSwitchConfig config;
  config.vpn_server = "203.0.113.7";
  config.allowlist = {"10.0.0.1"};
  config.allow_lan = true;
  EXPECT_FALSE(manager.EnableKillSwitch(config));
  EXPECT_EQ(manager.last_error(), "WfpManager not initialized (requires administrator privileges)");
  EXPECT_FALSE(manager.IsKillSwitchEnabled());
  EXPECT_FALSE(manager.BlockIPv6());
  EXPECT_EQ(manager.last_error(), "WfpManager not initialized");
  EXPECT_TRUE(manager.DisableKillSwitch());
  EXPECT_TRUE(manager.UnblockIPv6());
  EXPECT_EQ(log.StandardError(),
            "WFP: Initializing...\n"
            "WFP: FwpmEngineOpen failed: 1764\n"
            "WFP: Cannot enable kill switch - not initialized\n"
            "WFP: Cannot block IPv6 - not initialized\n");
}

}  // namespace
