// The runtime's kill-switch operations through the in-memory filtering engine: what reaches the
// network while the kill switch is on, before, during and after a Hysteria2 tunnel.
#include <gtest/gtest.h>

#include "killswitch/kill_switch_rules.h"
#include "platform/text_encoding.h"
#include "platform/wfp_filter_text.h"
#include "singbox/singbox_protocol.h"
#include "unit/runtime/runtime_on_fakes.h"

namespace orvo_vpn_win_svc {
namespace {

constexpr uint32_t kServerAddress = 0xCB007107;  // 203.0.113.7
constexpr uint32_t kElsewhere = 0x08080808;      // 8.8.8.8
constexpr uint32_t kAllowlisted = 0xC000022C;    // 192.0.2.44

class RuntimeKillSwitch : public orvo_test::RuntimeOnFakes {
 protected:
  void SetUp() override {
    Initialize();
    KillSwitchRequest request;
    request.enabled = true;
    request.allow_lan = false;
    request.allowlist = {"192.0.2.44"};
    runtime().UpdateKillSwitchSettings(request);
  }

  std::string Installed() const {
    std::string text;
    for (const orvo_test::WfpFilterEntry& entry : memory_->CommittedFilters()) {
      text += platform::DescribeWfpFilter(entry.filter) + "\n";
    }
    return text;
  }

  // The kill switch these settings make with the given server and tunnel interface, and the
  // service's and sing-box's own executables permitted.
  std::string Planned(const std::string& server, std::optional<uint64_t> tunnel) const {
    KillSwitchConfig config;
    config.vpn_server = server;
    config.allowlist = {"192.0.2.44"};
    config.allow_lan = false;
    config.tunnel_luid = tunnel;
    config.service_path = executable_path_;
    config.singbox_path = SingboxPathIn(service_dir_);
    return DescribeKillSwitchPlan(
        PlanKillSwitch(config, config.allowlist, WfpManager::kSublayerKey));
  }

  bool Reaches(uint32_t address, uint64_t through) const {
    orvo_test::WfpConnection connection;
    connection.remote_ipv4 = address;
    connection.local_interface = through;
    return memory_->Classify(connection, WfpManager::kSublayerKey).permitted;
  }

  // An IPv6 connection around the tunnel from the application `path` ("": none known).
  bool ReachesIpv6From(const std::wstring& path) const {
    orvo_test::WfpConnection connection;
    connection.layer = platform::WfpLayer::kAleAuthConnectV6;
    connection.remote_ipv6 = {0x20, 0x01, 0x0d, 0xb8, 15, 1};
    connection.local_interface = kPhysicalLuid;
    connection.app_id =
        path.empty() ? platform::WfpByteBlob{} : memory_->GetAppIdFromFileName(path).blob;
    return memory_->Classify(connection, WfpManager::kSublayerKey).permitted;
  }
};

TEST_F(RuntimeKillSwitch, PermitsFollowTheTunnelWhileBlockAllHolds) {
  ASSERT_TRUE(runtime().EnableKillSwitch());
  EXPECT_NE(
      log_.StandardError().find("ORVO_SVC: EnableKillSwitch - vpn_server=, has_tun=0, allow_lan=0, "
                                "allowlist_size=1, permitted_apps=0\n"),
      std::string::npos);
  EXPECT_NE(log_.StandardError().find("ORVO_SVC: Kill switch enabled successfully\n"),
            std::string::npos);
  EXPECT_EQ(Installed(), Planned("", std::nullopt));
  EXPECT_FALSE(Reaches(kServerAddress, kPhysicalLuid));
  EXPECT_TRUE(Reaches(kAllowlisted, kPhysicalLuid));

  log_.Clear();
  ConnectUp();
  EXPECT_NE(log_.StandardError().find(
                "ORVO_SVC: Refreshing kill switch after connect - vpn_server=203.0.113.7, "
                "has_tun=1, allow_lan=0, allowlist_size=1, permitted_apps=0\n"),
            std::string::npos)
      << log_.StandardError();
  EXPECT_NE(log_.StandardError().find("ORVO_SVC: Kill switch refreshed\n"), std::string::npos);
  // Beside the kill switch, the tunnel's IPv6 block (added before the kill switch was replaced).
  EXPECT_EQ(Installed(), platform::DescribeWfpFilter(PlanIpv6Block(WfpManager::kSublayerKey)) +
                             "\n" + Planned("203.0.113.7", kTunLuid));
  EXPECT_TRUE(Reaches(kElsewhere, kTunLuid)) << "traffic into the tunnel";
  EXPECT_TRUE(Reaches(kServerAddress, kPhysicalLuid)) << "the tunnel's own traffic to its server";
  EXPECT_TRUE(Reaches(kAllowlisted, kPhysicalLuid));
  EXPECT_FALSE(Reaches(kElsewhere, kPhysicalLuid)) << "traffic around the tunnel";
  // The tunnel's own processes and the IPv6 block meet at weight 15, where the engine offers a
  // connection to the more specific filter first: their IPv6 passes, nobody else's does.
  EXPECT_TRUE(ReachesIpv6From(executable_path_));
  EXPECT_FALSE(ReachesIpv6From(L""));

  log_.Clear();
  runtime().Disconnect();
  EXPECT_NE(log_.StandardError().find(
                "ORVO_SVC: Refreshing kill switch after disconnect - vpn_server=, has_tun=0, "
                "allow_lan=0, allowlist_size=1, permitted_apps=0\n"),
            std::string::npos)
      << log_.StandardError();
  EXPECT_TRUE(runtime().IsKillSwitchEnabled()) << "a disconnect never switches it off";
  EXPECT_EQ(Installed(), Planned("", std::nullopt));
  EXPECT_FALSE(Reaches(kServerAddress, kPhysicalLuid));
  EXPECT_FALSE(Reaches(kElsewhere, kTunLuid));
  EXPECT_FALSE(Reaches(kElsewhere, kPhysicalLuid));
  EXPECT_TRUE(Reaches(kAllowlisted, kPhysicalLuid));
}

TEST_F(RuntimeKillSwitch, EnabledAfterAConnectPermitsItsServerAndTun) {
  ConnectUp();
  log_.Clear();
  ASSERT_TRUE(runtime().EnableKillSwitch());
  EXPECT_NE(log_.StandardError().find(
                "ORVO_SVC: EnableKillSwitch - vpn_server=203.0.113.7, has_tun=1, allow_lan=0, "
                "allowlist_size=1, permitted_apps=0\n"),
            std::string::npos);
  EXPECT_NE(log_.Debugger().find(L"ORVO_SVC: Kill switch enabled successfully\n"),
            std::wstring::npos);
  EXPECT_TRUE(Reaches(kElsewhere, kTunLuid));
  EXPECT_TRUE(Reaches(kServerAddress, kPhysicalLuid));
  EXPECT_FALSE(Reaches(kElsewhere, kPhysicalLuid));
}

TEST_F(RuntimeKillSwitch, ConnectAndDisconnectLeaveADisabledKillSwitchAlone) {
  ConnectUp();
  runtime().Disconnect();
  EXPECT_FALSE(runtime().IsKillSwitchEnabled());
  EXPECT_EQ(Installed(), "");
  EXPECT_EQ(log_.StandardError().find("kill switch"), std::string::npos);
  EXPECT_EQ(log_.StandardError().find("Kill switch"), std::string::npos);
}

// A failed connect leaves no tunnel: an interface its TUN check found is not permitted.
TEST_F(RuntimeKillSwitch, FailedConnectForgetsTheInterfaceItFound) {
  QueueReadyChildren(3);
  ShowTun(L"OrvoVPN", 2);
  std::string error;
  ASSERT_FALSE(runtime().ConnectHysteria2(Request(), error));
  log_.Clear();
  ASSERT_TRUE(runtime().EnableKillSwitch());
  EXPECT_NE(log_.StandardError().find("vpn_server=, has_tun=0,"), std::string::npos);
  EXPECT_FALSE(Reaches(kElsewhere, kTunLuid));
}

// A connect refused while a tunnel is up leaves that tunnel's interface permitted.
TEST_F(RuntimeKillSwitch, RefusedConnectKeepsTheInterfaceOfTheTunnelStillUp) {
  ConnectUp();
  std::string error;
  ASSERT_FALSE(runtime().ConnectHysteria2(Request(), error));
  ASSERT_EQ(error, "ERR_SINGBOX_CREATE: Service already running");
  log_.Clear();
  ASSERT_TRUE(runtime().EnableKillSwitch());
  EXPECT_NE(log_.StandardError().find("vpn_server=203.0.113.7, has_tun=1,"), std::string::npos);
  EXPECT_TRUE(Reaches(kElsewhere, kTunLuid));
}

TEST_F(RuntimeKillSwitch, RefreshThatCannotCommitKeepsThePreviousKillSwitch) {
  ASSERT_TRUE(runtime().EnableKillSwitch());
  const std::string before = Installed();
  engine_->Fail("CommitTransaction", 0x80320012, 0);
  log_.Clear();
  ConnectUp();
  EXPECT_NE(log_.StandardError().find(
                "ORVO_SVC: Kill switch refresh failed: FwpmTransactionCommit failed: "),
            std::string::npos)
      << log_.StandardError();
  EXPECT_NE(WideToUtf8(log_.Debugger()).find("ORVO_SVC: Kill switch refresh failed: "),
            std::string::npos);
  EXPECT_EQ(runtime().GetState(), "connected") << "the tunnel is up all the same";
  EXPECT_TRUE(runtime().IsKillSwitchEnabled());
  EXPECT_FALSE(Reaches(kElsewhere, kPhysicalLuid));
}

TEST_F(RuntimeKillSwitch, SettingsAreStoredWithoutTouchingTheFilters) {
  KillSwitchRequest request;
  request.allow_lan = true;
  request.allowlist = {"192.0.2.44", "allow.example"};
  request.permitted_apps = {L"C:\\Apps\\browser.exe"};
  log_.Clear();
  runtime().UpdateKillSwitchSettings(request);
  EXPECT_EQ(log_.Debugger(), L"ORVO_SVC: Kill switch settings updated\n");
  EXPECT_EQ(Installed(), "");
  runtime().EnableKillSwitch();
  EXPECT_NE(log_.StandardError().find("has_tun=0, allow_lan=1, allowlist_size=2, permitted_apps=1"),
            std::string::npos);
}

TEST_F(RuntimeKillSwitch, DisableWithoutAnEnabledKillSwitchSucceeds) {
  log_.Clear();
  EXPECT_TRUE(runtime().DisableKillSwitch());
  EXPECT_NE(log_.Debugger().find(L"ORVO_SVC: Kill switch disabled\n"), std::wstring::npos);
  ASSERT_TRUE(runtime().EnableKillSwitch());
  EXPECT_TRUE(runtime().DisableKillSwitch());
  EXPECT_FALSE(runtime().IsKillSwitchEnabled());
  EXPECT_EQ(Installed(), "");
}

TEST_F(RuntimeKillSwitch, ManagerWithoutAdministratorRightsReportsWhy) {
  WfpManager unprivileged(std::make_shared<orvo_test::InMemoryWfpEngine>(false), resolver_);
  Runtime runtime(Facilities(unprivileged));
  log_.Clear();
  EXPECT_FALSE(runtime.EnableKillSwitch());
  const std::string why = "WfpManager not initialized (requires administrator privileges)";
  EXPECT_NE(log_.StandardError().find("ORVO_SVC: Kill switch failed: " + why + "\n"),
            std::string::npos);
  EXPECT_NE(WideToUtf8(log_.Debugger()).find("ORVO_SVC: Kill switch failed: " + why + "\n"),
            std::string::npos);
  EXPECT_FALSE(runtime.IsKillSwitchEnabled());
}

}  // namespace
}  // namespace orvo_vpn_win_svc
