#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "killswitch/kill_switch_config.h"
#include "platform/wfp_engine.h"

namespace orvo_vpn_win_svc {

// Filter weights within the service's sublayer. The matching filter of the highest weight
// decides, so every permit outranks block-all and the IPv6 block outranks every IPv6 permit but
// the application's. That one shares the IPv6 block's weight, and within one weight the engine
// offers a connection to the more specific filter first (CompareWfpFilterPrecedence): a
// permitted application's IPv6 connections pass the IPv6 block.
inline constexpr uint8_t kBlockAllWeight = 1;
inline constexpr uint8_t kPermitAddressWeight = 10;
inline constexpr uint8_t kPermitAlwaysWeight = 12;
inline constexpr uint8_t kPermitApplicationWeight = 15;
inline constexpr uint8_t kBlockIpv6Weight = 15;

enum class KillSwitchRuleKind {
  kPermitServer,       // the server's address: one IPv4 permit, none if it is not an IPv4 literal
  kPermitAllowlisted,  // one allowlisted address: one IPv4 permit, none if it is not a literal
  kPermitApplication,  // one executable: an IPv4 and an IPv6 permit by application id
  kPermitAlways,       // one permit that holds whatever the user chose (loopback, tunnel, ...)
  kBlockAll,           // the IPv4 and the IPv6 block-all filters
};

// One step of installing a kill switch, with the filters it adds.
struct KillSwitchRule {
  KillSwitchRuleKind kind = KillSwitchRuleKind::kBlockAll;
  // What the step permits, as the log names it: the address text as given, the executable's path
  // in UTF-8, or a description such as "loopback" or "10.0.0.0/8".
  std::string target;
  // The log's note on it: "VPN Server", "Allowlist", "IPv4", "IPv6" or "LAN".
  std::string label;
  std::wstring application;  // kPermitApplication: the executable
  // In installation order. The application id of a kPermitApplication filter is left empty: it
  // is known only once the engine has looked the executable up (BindApplication).
  std::vector<platform::WfpFilter> filters;
};

// The kill switch for `config`, in the order it is installed: server, allowlisted addresses,
// permitted applications, the tunnel's own processes, loopback, the tunnel interface, DHCP,
// DHCPv6, neighbour discovery, the LAN ranges when allowed, and block-all last.
// `allowlist_addresses` holds the allowlist as addresses: literals as given, names as resolved.
std::vector<KillSwitchRule> PlanKillSwitch(const KillSwitchConfig& config,
                                           const std::vector<std::string>& allowlist_addresses,
                                           const platform::WfpKey& sublayer);

// The application filter `filter` of a plan, made to match the application `app_id`.
platform::WfpFilter BindApplication(platform::WfpFilter filter,
                                    const platform::WfpByteBlob& app_id);

// The filter that blocks outbound IPv6 while a tunnel is set up and in use. Loopback stays
// reachable: the local services and the relay proxy live there.
platform::WfpFilter PlanIpv6Block(const platform::WfpKey& sublayer);

// The plan's filters, one line each, applications shown by path.
std::string DescribeKillSwitchPlan(const std::vector<KillSwitchRule>& plan);

}  // namespace orvo_vpn_win_svc
