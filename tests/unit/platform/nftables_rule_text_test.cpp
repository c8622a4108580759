// What the Linux engine asks nftables for, filter by filter. Linux only.

#if defined(__linux__)

#include "platform/posix/nftables_rule_text.h"

#include <gtest/gtest.h>

#include "support/case_file.h"

#include "killswitch/kill_switch_rules.h"
#include "killswitch/wfp_manager.h"

namespace {

using namespace orvo_vpn_win_svc;
using namespace orvo_vpn_win_svc::platform;

std::string Rules(const WfpFilter& filter, NftablesHook hook = NftablesHook::kOutput) {
  const NftablesRules rendered = RenderNftablesRules(filter, hook);
  std::string text = rendered.code == kWfpSuccess ? "" : "code " + std::to_string(rendered.code);
  for (const std::string& rule : rendered.rules) {
    text += rule + "\n";
  }
  return text;
}

TEST(NftablesRuleText, EachFilterOfTheKillSwitchBecomesItsRules) {
  KillSwitchConfig config;
  config.vpn_server = "203.0.113.7";
  config.allow_lan = true;
  config.tunnel_luid = 0x0035000000000007;  // the Linux LUID of interface 7
  config.service_path = L"/usr/sbin/orvo-vpn-svc";
  const orvo_test::TextCase expected = orvo_test::ReadCases("unit/platform/nftables.txt").at(0);
  for (const auto& [hook, key] : {std::pair{NftablesHook::kOutput, "rules"},
                                  std::pair{NftablesHook::kPostrouting, "postrouting"}}) {
    std::string text;
    for (const KillSwitchRule& rule : PlanKillSwitch(config, {}, WfpManager::kSublayerKey)) {
      for (const WfpFilter& filter : rule.filters) {
        text += Rules(BindApplication(filter, CgroupAppId(2, "system.slice/orvo.service")), hook);
      }
    }
    text += Rules(PlanIpv6Block(WfpManager::kSublayerKey), hook);
    EXPECT_EQ(text, expected[key]) << key;
  }
}

// Conditions the service never makes, and ids that are not this engine's.
TEST(NftablesRuleText, OtherConditionsAndForeignValues) {
  const auto permit = [](WfpCondition condition) {
    WfpFilter filter;
    filter.name = L"f";
    filter.action = WfpAction::kPermit;
    filter.conditions = {std::move(condition)};
    return Rules(filter);
  };
  const struct {
    WfpCondition condition;
    const char* rules;
  } cases[] = {
      {{WfpField::kIpRemotePort, WfpMatch::kEqual, uint16_t{53}},
       "meta nfproto ipv4 meta l4proto { tcp, udp } th dport 53 accept\n"},
      {{WfpField::kIpRemoteAddress, WfpMatch::kEqual, WfpV4AddressMask{0x0A0000FF, 0xFF0000FF}},
       "meta nfproto ipv4 ip daddr & 255.0.0.255 == 10.0.0.255 accept\n"},
      {{WfpField::kAleAppId, WfpMatch::kEqual, CgroupAppId(2, "system.slice/orvo.service")},
       "meta nfproto ipv4 socket cgroupv2 level 2 \"system.slice/orvo.service\" accept\n"},
      {{WfpField::kAleAppId, WfpMatch::kEqual, CgroupAppId(1, "a\" accept; flush ruleset")},
       "code 50"},
      {{WfpField::kAleAppId, WfpMatch::kEqual, WfpByteBlob{'C', 0, 0, 0}}, "code 50"},
      {{WfpField::kIpLocalInterface, WfpMatch::kEqual, uint64_t{0x0006000000000001}}, ""},
      {{WfpField::kIpProtocol, WfpMatch::kEqual, uint16_t{6}}, "code 50"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(permit(c.condition), c.rules);
  }
}

}  // namespace

#endif  // __linux__
