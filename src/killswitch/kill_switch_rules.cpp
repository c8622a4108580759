#include "killswitch/kill_switch_rules.h"

#include <optional>

#include "platform/ipv4_literal.h"
#include "platform/text_encoding.h"
#include "platform/wfp_filter_text.h"

namespace orvo_vpn_win_svc {
namespace {

using platform::WfpAction;
using platform::WfpCondition;
using platform::WfpField;
using platform::WfpFilter;
using platform::WfpKey;
using platform::WfpLayer;
using platform::WfpMatch;

constexpr uint8_t kProtocolUdp = 17;
constexpr uint8_t kProtocolIcmpv6 = 58;

struct Ipv4Network {
  const char* text;
  uint32_t address;
  uint32_t mask;
};

// Private, link-local, multicast and limited-broadcast destinations.
constexpr Ipv4Network kLanIpv4[] = {
    {"10.0.0.0/8", 0x0A000000, 0xFF000000},     {"172.16.0.0/12", 0xAC100000, 0xFFF00000},
    {"192.168.0.0/16", 0xC0A80000, 0xFFFF0000}, {"169.254.0.0/16", 0xA9FE0000, 0xFFFF0000},
    {"224.0.0.0/4", 0xE0000000, 0xF0000000},    {"255.255.255.255/32", 0xFFFFFFFF, 0xFFFFFFFF},
};

struct Ipv6Network {
  const char* text;
  uint8_t leading_bytes[2];
  uint8_t prefix_length;
};

// Link-local, unique-local and multicast destinations.
constexpr Ipv6Network kLanIpv6[] = {
    {"fe80::/10", {0xFE, 0x80}, 10},
    {"fc00::/7", {0xFC, 0x00}, 7},
    {"ff00::/8", {0xFF, 0x00}, 8},
};

WfpFilter Filter(const wchar_t* name, const wchar_t* description, WfpLayer layer, uint8_t weight,
                 WfpAction action, const WfpKey& sublayer, std::vector<WfpCondition> conditions) {
  WfpFilter filter;
  filter.name = name;
  filter.description = description;
  filter.layer = layer;
  filter.sublayer = sublayer;
  filter.weight = weight;
  filter.action = action;
  filter.conditions = std::move(conditions);
  return filter;
}

WfpCondition Equal(WfpField field, platform::WfpConditionValue value) {
  return {field, WfpMatch::kEqual, std::move(value)};
}

WfpCondition Ipv4Remote(uint32_t address, uint32_t mask) {
  return Equal(WfpField::kIpRemoteAddress, platform::WfpV4AddressMask{address, mask});
}

KillSwitchRule PermitAddress(KillSwitchRuleKind kind, const std::string& address, const char* label,
                             const WfpKey& sublayer) {
  KillSwitchRule rule{kind, address, label, {}, {}};
  if (const std::optional<uint32_t> parsed = platform::ParseIpv4Literal(address)) {
    rule.filters.push_back(Filter(L"ORVO: Permit Allowlist IP", L"Permit traffic to allowlisted IP",
                                  WfpLayer::kAleAuthConnectV4, kPermitAddressWeight,
                                  WfpAction::kPermit, sublayer, {Ipv4Remote(*parsed, 0xFFFFFFFF)}));
  }
  return rule;
}

KillSwitchRule PermitApplication(const std::wstring& path, const WfpKey& sublayer) {
  const auto filter = [&](WfpLayer layer) {
    return Filter(L"ORVO: Permit Application", L"Permit traffic from allowed application", layer,
                  kPermitApplicationWeight, WfpAction::kPermit, sublayer,
                  {Equal(WfpField::kAleAppId, platform::WfpByteBlob{})});
  };
  return {KillSwitchRuleKind::kPermitApplication,
          WideToUtf8(path),
          "",
          path,
          {filter(WfpLayer::kAleAuthConnectV4), filter(WfpLayer::kAleAuthConnectV6)}};
}

KillSwitchRule PermitAlways(std::string target, std::string label, WfpFilter filter) {
  return {KillSwitchRuleKind::kPermitAlways, std::move(target), std::move(label), {}, {filter}};
}

const char* LayerLabel(WfpLayer layer) {
  return layer == WfpLayer::kAleAuthConnectV4 ? "IPv4" : "IPv6";
}

void AddPermitsOnBothLayers(std::vector<KillSwitchRule>& plan, const char* target,
                            const wchar_t* name, const wchar_t* description, const WfpKey& sublayer,
                            const std::vector<WfpCondition>& conditions) {
  for (const WfpLayer layer : {WfpLayer::kAleAuthConnectV4, WfpLayer::kAleAuthConnectV6}) {
    plan.push_back(PermitAlways(target, LayerLabel(layer),
                                Filter(name, description, layer, kPermitAlwaysWeight,
                                       WfpAction::kPermit, sublayer, conditions)));
  }
}

KillSwitchRule UdpClientPermit(const char* target, WfpLayer layer, const wchar_t* name,
                               const wchar_t* description, uint16_t local_port,
                               uint16_t remote_port, const WfpKey& sublayer) {
  return PermitAlways(
      target, LayerLabel(layer),
      Filter(name, description, layer, kPermitAlwaysWeight, WfpAction::kPermit, sublayer,
             {Equal(WfpField::kIpProtocol, kProtocolUdp), Equal(WfpField::kIpLocalPort, local_port),
              Equal(WfpField::kIpRemotePort, remote_port)}));
}

// DHCP and DHCPv6 keep the machine's addresses, neighbour discovery (ICMPv6 types 133 to 137:
// router and neighbour solicitation and advertisement, redirect) keeps its IPv6 link.
void AddLinkPermits(std::vector<KillSwitchRule>& plan, const WfpKey& sublayer) {
  plan.push_back(UdpClientPermit("DHCP client", WfpLayer::kAleAuthConnectV4, L"ORVO: Permit DHCP",
                                 L"Permit DHCP client traffic", 68, 67, sublayer));
  plan.push_back(UdpClientPermit("DHCPv6 client", WfpLayer::kAleAuthConnectV6,
                                 L"ORVO: Permit DHCPv6", L"Permit DHCPv6 client traffic", 546, 547,
                                 sublayer));
  plan.push_back(PermitAlways(
      "neighbour discovery", "IPv6",
      Filter(L"ORVO: Permit Neighbour Discovery", L"Permit IPv6 neighbour discovery",
             WfpLayer::kAleAuthConnectV6, kPermitAlwaysWeight, WfpAction::kPermit, sublayer,
             {Equal(WfpField::kIpProtocol, kProtocolIcmpv6),
              {WfpField::kIpLocalPort, WfpMatch::kRange, platform::WfpUint16Range{133, 137}}})));
}

void AddLanPermits(std::vector<KillSwitchRule>& plan, const WfpKey& sublayer) {
  for (const Ipv4Network& network : kLanIpv4) {
    plan.push_back(
        PermitAlways(network.text, "LAN",
                     Filter(L"ORVO: Permit LAN", L"Permit traffic to the local network",
                            WfpLayer::kAleAuthConnectV4, kPermitAlwaysWeight, WfpAction::kPermit,
                            sublayer, {Ipv4Remote(network.address, network.mask)})));
  }
  for (const Ipv6Network& network : kLanIpv6) {
    platform::WfpV6AddressPrefix prefix;
    prefix.address[0] = network.leading_bytes[0];
    prefix.address[1] = network.leading_bytes[1];
    prefix.prefix_length = network.prefix_length;
    plan.push_back(
        PermitAlways(network.text, "LAN",
                     Filter(L"ORVO: Permit LAN", L"Permit traffic to the local network",
                            WfpLayer::kAleAuthConnectV6, kPermitAlwaysWeight, WfpAction::kPermit,
                            sublayer, {Equal(WfpField::kIpRemoteAddress, prefix)})));
  }
}

KillSwitchRule BlockAll(const WfpKey& sublayer) {
  return {KillSwitchRuleKind::kBlockAll,
          "",
          "",
          {},
          {Filter(L"ORVO: Block All (Kill Switch)", L"", WfpLayer::kAleAuthConnectV4,
                  kBlockAllWeight, WfpAction::kBlock, sublayer, {}),
           Filter(L"ORVO: Block All IPv6 (Kill Switch)", L"", WfpLayer::kAleAuthConnectV6,
                  kBlockAllWeight, WfpAction::kBlock, sublayer, {})}};
}

}  // namespace

std::vector<KillSwitchRule> PlanKillSwitch(const KillSwitchConfig& config,
                                           const std::vector<std::string>& allowlist_addresses,
                                           const WfpKey& sublayer) {
  std::vector<KillSwitchRule> plan;
  if (!config.vpn_server.empty()) {
    plan.push_back(PermitAddress(KillSwitchRuleKind::kPermitServer, config.vpn_server, "VPN Server",
                                 sublayer));
  }
  for (const std::string& address : allowlist_addresses) {
    plan.push_back(
        PermitAddress(KillSwitchRuleKind::kPermitAllowlisted, address, "Allowlist", sublayer));
  }
  for (const std::wstring& path : config.permitted_apps) {
    plan.push_back(PermitApplication(path, sublayer));
  }
  for (const std::wstring* own : {&config.service_path, &config.singbox_path}) {
    if (!own->empty()) {
      plan.push_back(PermitApplication(*own, sublayer));
    }
  }
  AddPermitsOnBothLayers(
      plan, "loopback", L"ORVO: Permit Loopback", L"Permit loopback traffic", sublayer,
      {{WfpField::kFlags, WfpMatch::kFlagsAllSet, platform::kWfpConditionFlagIsLoopback}});
  if (config.tunnel_luid) {
    AddPermitsOnBothLayers(plan, "tunnel interface", L"ORVO: Permit Tunnel Interface",
                           L"Permit traffic on the VPN tunnel interface", sublayer,
                           {Equal(WfpField::kIpLocalInterface, *config.tunnel_luid)});
  }
  AddLinkPermits(plan, sublayer);
  if (config.allow_lan) {
    AddLanPermits(plan, sublayer);
  }
  plan.push_back(BlockAll(sublayer));
  return plan;
}

WfpFilter BindApplication(WfpFilter filter, const platform::WfpByteBlob& app_id) {
  for (WfpCondition& condition : filter.conditions) {
    if (condition.field == WfpField::kAleAppId) {
      condition.value = app_id;
    }
  }
  return filter;
}

WfpFilter PlanIpv6Block(const WfpKey& sublayer) {
  return Filter(
      L"ORVO: Block IPv6 (VPN Active)", L"Prevents IPv6 leak while VPN is connected",
      WfpLayer::kAleAuthConnectV6, kBlockIpv6Weight, WfpAction::kBlock, sublayer,
      {{WfpField::kFlags, WfpMatch::kFlagsNoneSet, platform::kWfpConditionFlagIsLoopback}});
}

std::string DescribeKillSwitchPlan(const std::vector<KillSwitchRule>& plan) {
  std::string text;
  for (const KillSwitchRule& rule : plan) {
    std::optional<std::string> application;
    if (rule.kind == KillSwitchRuleKind::kPermitApplication) {
      application = "\"" + rule.target + "\"";
    }
    for (const WfpFilter& filter : rule.filters) {
      text += platform::DescribeWfpFilter(filter, application) + "\n";
    }
  }
  return text;
}

}  // namespace orvo_vpn_win_svc
