#include "killswitch/kill_switch_rules.h"

#include <array>
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

// Private and link-local destinations, and the limited broadcast: the LAN when it is allowed,
// and where a DHCP client may send in any case (its server, or everyone on the link).
constexpr Ipv4Network kLinkIpv4[] = {
    {"10.0.0.0/8", 0x0A000000, 0xFF000000},         {"172.16.0.0/12", 0xAC100000, 0xFFF00000},
    {"192.168.0.0/16", 0xC0A80000, 0xFFFF0000},     {"169.254.0.0/16", 0xA9FE0000, 0xFFFF0000},
    {"255.255.255.255/32", 0xFFFFFFFF, 0xFFFFFFFF},
};

// Multicast that stays on the link: the link-local groups (mDNS, LLMNR, ...) and SSDP's group.
// Groups of a wider scope reach routers beyond the LAN and stay blocked.
constexpr Ipv4Network kLocalMulticastIpv4[] = {
    {"224.0.0.0/24", 0xE0000000, 0xFFFFFF00},
    {"239.255.255.250/32", 0xEFFFFFFA, 0xFFFFFFFF},
};

struct Ipv6Network {
  const char* text;
  std::array<uint8_t, 16> address;
  uint8_t prefix_length;
};

constexpr Ipv6Network kLinkLocalIpv6 = {"fe80::/10", {0xFE, 0x80}, 10};
constexpr Ipv6Network kUniqueLocalIpv6 = {"fc00::/7", {0xFC, 0x00}, 7};
// Link-scope multicast: neighbour discovery's groups, mDNS, LLMNR, SSDP, the DHCPv6 servers.
constexpr Ipv6Network kLinkMulticastIpv6 = {"ff02::/16", {0xFF, 0x02}, 16};
constexpr Ipv6Network kDhcpv6ServersIpv6 = {
    "ff02::1:2/128", {0xFF, 0x02, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 2}, 128};

constexpr Ipv6Network kLanIpv6[] = {kLinkLocalIpv6, kUniqueLocalIpv6, kLinkMulticastIpv6};

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

WfpCondition Ipv6Remote(const Ipv6Network& network) {
  return Equal(WfpField::kIpRemoteAddress,
               platform::WfpV6AddressPrefix{network.address, network.prefix_length});
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

// Conditions on one field are alternatives, so one filter permits a client port's datagrams to
// any of `destinations`.
KillSwitchRule UdpClientPermit(const char* target, WfpLayer layer, const wchar_t* name,
                               const wchar_t* description, uint16_t local_port,
                               uint16_t remote_port, std::vector<WfpCondition> destinations,
                               const WfpKey& sublayer) {
  std::vector<WfpCondition> conditions = {Equal(WfpField::kIpProtocol, kProtocolUdp),
                                          Equal(WfpField::kIpLocalPort, local_port),
                                          Equal(WfpField::kIpRemotePort, remote_port)};
  conditions.insert(conditions.end(), destinations.begin(), destinations.end());
  return PermitAlways(target, LayerLabel(layer),
                      Filter(name, description, layer, kPermitAlwaysWeight, WfpAction::kPermit,
                             sublayer, std::move(conditions)));
}

// DHCP and DHCPv6 keep the machine's addresses, neighbour discovery (ICMPv6 types 133 to 137:
// router and neighbour solicitation and advertisement, redirect) keeps its IPv6 link. Each may
// go only where its protocol sends, so a program that binds the port or writes raw packets
// cannot carry data past the kill switch: DHCP to the link's broadcast and the private and
// link-local networks its server is on, DHCPv6 to its servers' group and link-local addresses,
// neighbour discovery to link-local addresses and link-scope groups.
void AddLinkPermits(std::vector<KillSwitchRule>& plan, const WfpKey& sublayer) {
  std::vector<WfpCondition> dhcp_destinations;
  for (const Ipv4Network& network : kLinkIpv4) {
    dhcp_destinations.push_back(Ipv4Remote(network.address, network.mask));
  }
  plan.push_back(UdpClientPermit("DHCP client", WfpLayer::kAleAuthConnectV4, L"ORVO: Permit DHCP",
                                 L"Permit DHCP client traffic", 68, 67,
                                 std::move(dhcp_destinations), sublayer));
  plan.push_back(UdpClientPermit("DHCPv6 client", WfpLayer::kAleAuthConnectV6,
                                 L"ORVO: Permit DHCPv6", L"Permit DHCPv6 client traffic", 546, 547,
                                 {Ipv6Remote(kDhcpv6ServersIpv6), Ipv6Remote(kLinkLocalIpv6)},
                                 sublayer));
  plan.push_back(PermitAlways(
      "neighbour discovery", "IPv6",
      Filter(L"ORVO: Permit Neighbour Discovery", L"Permit IPv6 neighbour discovery",
             WfpLayer::kAleAuthConnectV6, kPermitAlwaysWeight, WfpAction::kPermit, sublayer,
             {Equal(WfpField::kIpProtocol, kProtocolIcmpv6),
              {WfpField::kIpLocalPort, WfpMatch::kRange, platform::WfpUint16Range{133, 137}},
              Ipv6Remote(kLinkLocalIpv6),
              Ipv6Remote(kLinkMulticastIpv6)})));
}

void AddLanPermits(std::vector<KillSwitchRule>& plan, const WfpKey& sublayer) {
  const auto permit_ipv4 = [&](const Ipv4Network& network) {
    plan.push_back(
        PermitAlways(network.text, "LAN",
                     Filter(L"ORVO: Permit LAN", L"Permit traffic to the local network",
                            WfpLayer::kAleAuthConnectV4, kPermitAlwaysWeight, WfpAction::kPermit,
                            sublayer, {Ipv4Remote(network.address, network.mask)})));
  };
  for (const Ipv4Network& network : kLinkIpv4) {
    permit_ipv4(network);
  }
  for (const Ipv4Network& network : kLocalMulticastIpv4) {
    permit_ipv4(network);
  }
  for (const Ipv6Network& network : kLanIpv6) {
    plan.push_back(PermitAlways(network.text, "LAN",
                                Filter(L"ORVO: Permit LAN", L"Permit traffic to the local network",
                                       WfpLayer::kAleAuthConnectV6, kPermitAlwaysWeight,
                                       WfpAction::kPermit, sublayer, {Ipv6Remote(network)})));
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
