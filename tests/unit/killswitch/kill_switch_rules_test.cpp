#include "killswitch/kill_switch_rules.h"

#include <gtest/gtest.h>

#include <set>
#include <utility>

#include "killswitch/wfp_manager.h"
#include "platform/wfp_filter_order.h"
#include "platform/wfp_filter_text.h"

namespace {

using namespace orvo_vpn_win_svc;
using platform::WfpAction;
using platform::WfpLayer;

constexpr uint64_t kTunnelLuid = 0x0006000000000001;

const char kLoopback[] =
    "ALE_AUTH_CONNECT_V4 weight=12 PERMIT flags all-set loopback \"ORVO: Permit Loopback\"\n"
    "ALE_AUTH_CONNECT_V6 weight=12 PERMIT flags all-set loopback \"ORVO: Permit Loopback\"\n";
const char kTunnel[] =
    "ALE_AUTH_CONNECT_V4 weight=12 PERMIT local_interface=0x0006000000000001 "
    "\"ORVO: Permit Tunnel Interface\"\n"
    "ALE_AUTH_CONNECT_V6 weight=12 PERMIT local_interface=0x0006000000000001 "
    "\"ORVO: Permit Tunnel Interface\"\n";
const char kLink[] =
    "ALE_AUTH_CONNECT_V4 weight=12 PERMIT protocol=17 local_port=68 remote_port=67 "
    "\"ORVO: Permit DHCP\"\n"
    "ALE_AUTH_CONNECT_V6 weight=12 PERMIT protocol=17 local_port=546 remote_port=547 "
    "\"ORVO: Permit DHCPv6\"\n"
    "ALE_AUTH_CONNECT_V6 weight=12 PERMIT protocol=58 local_port in 133-137 "
    "\"ORVO: Permit Neighbour Discovery\"\n";
const char kLan[] =
    "ALE_AUTH_CONNECT_V4 weight=12 PERMIT remote_address=10.0.0.0/8 \"ORVO: Permit LAN\"\n"
    "ALE_AUTH_CONNECT_V4 weight=12 PERMIT remote_address=172.16.0.0/12 \"ORVO: Permit LAN\"\n"
    "ALE_AUTH_CONNECT_V4 weight=12 PERMIT remote_address=192.168.0.0/16 \"ORVO: Permit LAN\"\n"
    "ALE_AUTH_CONNECT_V4 weight=12 PERMIT remote_address=169.254.0.0/16 \"ORVO: Permit LAN\"\n"
    "ALE_AUTH_CONNECT_V4 weight=12 PERMIT remote_address=224.0.0.0/4 \"ORVO: Permit LAN\"\n"
    "ALE_AUTH_CONNECT_V4 weight=12 PERMIT remote_address=255.255.255.255/32 \"ORVO: Permit LAN\"\n"
    "ALE_AUTH_CONNECT_V6 weight=12 PERMIT remote_address=fe80::/10 \"ORVO: Permit LAN\"\n"
    "ALE_AUTH_CONNECT_V6 weight=12 PERMIT remote_address=fc00::/7 \"ORVO: Permit LAN\"\n"
    "ALE_AUTH_CONNECT_V6 weight=12 PERMIT remote_address=ff00::/8 \"ORVO: Permit LAN\"\n";
const char kBlockAll[] =
    "ALE_AUTH_CONNECT_V4 weight=1 BLOCK \"ORVO: Block All (Kill Switch)\"\n"
    "ALE_AUTH_CONNECT_V6 weight=1 BLOCK \"ORVO: Block All IPv6 (Kill Switch)\"\n";
const char kOwnProcesses[] =
    "ALE_AUTH_CONNECT_V4 weight=15 PERMIT app_id=\"C:\\VPN\\orvo-vpn-svc.exe\" "
    "\"ORVO: Permit Application\"\n"
    "ALE_AUTH_CONNECT_V6 weight=15 PERMIT app_id=\"C:\\VPN\\orvo-vpn-svc.exe\" "
    "\"ORVO: Permit Application\"\n"
    "ALE_AUTH_CONNECT_V4 weight=15 PERMIT app_id=\"C:\\VPN\\sing-box.exe\" "
    "\"ORVO: Permit Application\"\n"
    "ALE_AUTH_CONNECT_V6 weight=15 PERMIT app_id=\"C:\\VPN\\sing-box.exe\" "
    "\"ORVO: Permit Application\"\n";
const char kServer[] =
    "ALE_AUTH_CONNECT_V4 weight=10 PERMIT remote_address=203.0.113.7/32 "
    "\"ORVO: Permit Allowlist IP\"\n";

KillSwitchConfig BeforeConnect() {
  KillSwitchConfig config;
  config.service_path = L"C:\\VPN\\orvo-vpn-svc.exe";
  config.singbox_path = L"C:\\VPN\\sing-box.exe";
  return config;
}

KillSwitchConfig TunnelUp() {
  KillSwitchConfig config = BeforeConnect();
  config.vpn_server = "203.0.113.7";
  config.tunnel_luid = kTunnelLuid;
  return config;
}

std::string Plan(const KillSwitchConfig& config, const std::vector<std::string>& addresses = {}) {
  return DescribeKillSwitchPlan(PlanKillSwitch(config, addresses, WfpManager::kSublayerKey));
}

TEST(KillSwitchRules, PlannedFiltersForEachState) {
  struct Case {
    const char* state;
    KillSwitchConfig config;
    std::string expected;
  };
  KillSwitchConfig lan_on = TunnelUp();
  lan_on.allow_lan = true;
  KillSwitchConfig lan_on_no_tunnel = BeforeConnect();
  lan_on_no_tunnel.allow_lan = true;
  const Case cases[] = {
      {"empty settings", KillSwitchConfig{}, std::string(kLoopback) + kLink + kBlockAll},
      {"no tunnel yet", BeforeConnect(),
       std::string(kOwnProcesses) + kLoopback + kLink + kBlockAll},
      {"tunnel up", TunnelUp(),
       std::string(kServer) + kOwnProcesses + kLoopback + kTunnel + kLink + kBlockAll},
      {"tunnel up, LAN on", lan_on,
       std::string(kServer) + kOwnProcesses + kLoopback + kTunnel + kLink + kLan + kBlockAll},
      {"no tunnel yet, LAN on", lan_on_no_tunnel,
       std::string(kOwnProcesses) + kLoopback + kLink + kLan + kBlockAll},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Plan(c.config), c.expected) << c.state;
  }
}

TEST(KillSwitchRules, AllowlistAndApplicationsComeBeforeTheOwnProcessesInTheirOrder) {
  KillSwitchConfig config = TunnelUp();
  config.allowlist = {"198.51.100.20", "updates.example"};
  config.permitted_apps = {L"C:\\Apps\\browser.exe", L""};
  const std::string plan = Plan(config, {"198.51.100.20", "192.0.2.1", "192.0.2.2"});
  const std::string expected_head =
      std::string(kServer) +
      "ALE_AUTH_CONNECT_V4 weight=10 PERMIT remote_address=198.51.100.20/32 "
      "\"ORVO: Permit Allowlist IP\"\n"
      "ALE_AUTH_CONNECT_V4 weight=10 PERMIT remote_address=192.0.2.1/32 "
      "\"ORVO: Permit Allowlist IP\"\n"
      "ALE_AUTH_CONNECT_V4 weight=10 PERMIT remote_address=192.0.2.2/32 "
      "\"ORVO: Permit Allowlist IP\"\n"
      "ALE_AUTH_CONNECT_V4 weight=15 PERMIT app_id=\"C:\\Apps\\browser.exe\" "
      "\"ORVO: Permit Application\"\n"
      "ALE_AUTH_CONNECT_V6 weight=15 PERMIT app_id=\"C:\\Apps\\browser.exe\" "
      "\"ORVO: Permit Application\"\n"
      // An empty path stays in the plan: looking it up fails, as for any path that is no file.
      "ALE_AUTH_CONNECT_V4 weight=15 PERMIT app_id=\"\" \"ORVO: Permit Application\"\n"
      "ALE_AUTH_CONNECT_V6 weight=15 PERMIT app_id=\"\" \"ORVO: Permit Application\"\n" +
      kOwnProcesses;
  EXPECT_EQ(plan.substr(0, expected_head.size()), expected_head);
}

TEST(KillSwitchRules, AnAddressThatIsNoIpv4LiteralGetsAStepWithoutFilters) {
  KillSwitchConfig config;
  config.vpn_server = "vpn.example";
  const std::vector<KillSwitchRule> plan =
      PlanKillSwitch(config, {"10.0.0.1", "10.0.0.256"}, WfpManager::kSublayerKey);
  ASSERT_GE(plan.size(), 3u);
  EXPECT_EQ(plan[0].kind, KillSwitchRuleKind::kPermitServer);
  EXPECT_EQ(plan[0].target, "vpn.example");
  EXPECT_TRUE(plan[0].filters.empty());
  EXPECT_EQ(plan[1].filters.size(), 1u);
  EXPECT_EQ(plan[2].target, "10.0.0.256");
  EXPECT_TRUE(plan[2].filters.empty());
}

// Every filter carries its display name and description; block-all has none.
TEST(KillSwitchRules, NamesAndDescriptions) {
  KillSwitchConfig config = TunnelUp();
  config.allow_lan = true;
  std::set<std::pair<std::wstring, std::wstring>> seen;
  for (const KillSwitchRule& rule :
       PlanKillSwitch(config, {"192.0.2.1"}, WfpManager::kSublayerKey)) {
    for (const platform::WfpFilter& filter : rule.filters) {
      seen.insert({filter.name, filter.description});
    }
  }
  const platform::WfpFilter ipv6_block = PlanIpv6Block(WfpManager::kSublayerKey);
  seen.insert({ipv6_block.name, ipv6_block.description});
  const std::set<std::pair<std::wstring, std::wstring>> expected = {
      {L"ORVO: Permit Allowlist IP", L"Permit traffic to allowlisted IP"},
      {L"ORVO: Permit Application", L"Permit traffic from allowed application"},
      {L"ORVO: Block All (Kill Switch)", L""},
      {L"ORVO: Block All IPv6 (Kill Switch)", L""},
      {L"ORVO: Block IPv6 (VPN Active)", L"Prevents IPv6 leak while VPN is connected"},
      {L"ORVO: Permit Loopback", L"Permit loopback traffic"},
      {L"ORVO: Permit Tunnel Interface", L"Permit traffic on the VPN tunnel interface"},
      {L"ORVO: Permit DHCP", L"Permit DHCP client traffic"},
      {L"ORVO: Permit DHCPv6", L"Permit DHCPv6 client traffic"},
      {L"ORVO: Permit Neighbour Discovery", L"Permit IPv6 neighbour discovery"},
      {L"ORVO: Permit LAN", L"Permit traffic to the local network"},
  };
  EXPECT_EQ(seen, expected);
}

// Whatever the settings, every weight fits the 4 bits WFP allows, every permit outranks
// block-all, and the IPv6 block comes before every IPv6 permit but a permitted application's:
// that one has the block's weight and is the more specific filter, which the engine offers the
// connection to first.
TEST(KillSwitchRules, WeightsOrderPermitsAboveBlockAllAndTheIpv6BlockAboveAll) {
  KillSwitchConfig config = TunnelUp();
  config.allow_lan = true;
  config.permitted_apps = {L"C:\\a.exe"};
  const platform::WfpFilter ipv6_block = PlanIpv6Block(WfpManager::kSublayerKey);
  EXPECT_EQ(ipv6_block.weight, 15);
  EXPECT_EQ(ipv6_block.action, WfpAction::kBlock);
  for (const KillSwitchRule& rule :
       PlanKillSwitch(config, {"192.0.2.1"}, WfpManager::kSublayerKey)) {
    for (const platform::WfpFilter& filter : rule.filters) {
      EXPECT_LE(filter.weight, platform::kWfpMaxFilterWeight);
      EXPECT_EQ(filter.sublayer, WfpManager::kSublayerKey);
      if (filter.action == WfpAction::kBlock) {
        EXPECT_EQ(filter.weight, kBlockAllWeight);
        continue;
      }
      EXPECT_GT(filter.weight, kBlockAllWeight);
      if (filter.layer == WfpLayer::kAleAuthConnectV6) {
        EXPECT_EQ(platform::CompareWfpFilterPrecedence(filter, ipv6_block) < 0,
                  filter.name == L"ORVO: Permit Application")
            << platform::DescribeWfpFilter(filter);
      }
    }
  }
}

}  // namespace
