// What the Linux engine asks nftables for, for conditions the kill switch's plan never makes and
// for values it must refuse (a quote would end nftables' string). The plan's own rules are
// judged on the kernel, by the kernel kill-switch tests. Linux only.

#if defined(__linux__)

#include "platform/posix/nftables_rule_text.h"

#include <gtest/gtest.h>

namespace {

using namespace orvo_vpn_win_svc;
using namespace orvo_vpn_win_svc::platform;

// What a permit with this one condition renders: its rules, one a line, after "code N" when the
// filter is refused.
std::string PermitRules(WfpCondition condition) {
  const NftablesRules rendered = RenderNftablesRules({.name = L"f",
                                                      .description = {},
                                                      .sublayer = {},
                                                      .action = WfpAction::kPermit,
                                                      .conditions = {std::move(condition)}});
  std::string text = rendered.code == kWfpSuccess ? "" : "code " + std::to_string(rendered.code);
  for (const std::string& rule : rendered.rules) {
    text += rule + "\n";
  }
  return text;
}

// Conditions the service never makes, and ids that are not this engine's.
TEST(NftablesRuleText, OtherConditionsAndForeignValues) {
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
    EXPECT_EQ(PermitRules(c.condition), c.rules);
  }
}

}  // namespace

#endif  // __linux__
