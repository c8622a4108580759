#include "platform/posix/nftables_rule_text.h"

#include <arpa/inet.h>

#include <bit>
#include <map>
#include <optional>
#include <string_view>

#include "platform/posix/linux_luid.h"

namespace orvo_vpn_win_svc::platform {
namespace {

constexpr uint32_t kErrorNotSupported = 50;  // ERROR_NOT_SUPPORTED
constexpr std::string_view kCgroupPrefix = "cgroupv2:";
constexpr uint8_t kProtocolIcmp = 1;
constexpr uint8_t kProtocolIcmpv6 = 58;

std::string Ipv4Text(uint32_t host_order) {
  const uint32_t network = htonl(host_order);
  char text[INET_ADDRSTRLEN] = {};
  inet_ntop(AF_INET, &network, text, sizeof(text));
  return text;
}

std::string Ipv6Text(const std::array<uint8_t, 16>& address) {
  char text[INET6_ADDRSTRLEN] = {};
  inet_ntop(AF_INET6, address.data(), text, sizeof(text));
  return text;
}

// Characters a control group path may have here: what systemd's unit names use, nothing that
// means something to nftables' parser.
bool IsPlainPath(const std::string& path) {
  if (path.empty() || path.front() == '/' || path.find("..") != std::string::npos) {
    return false;
  }
  for (const char c : path) {
    const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                       c == '/' || c == '.' || c == '-' || c == '_' || c == '@' || c == ':';
    if (!plain) {
      return false;
    }
  }
  return true;
}

std::optional<std::string> CgroupMatch(const WfpByteBlob& blob) {
  const std::string text(blob.begin(), blob.end());
  if (text.rfind(kCgroupPrefix, 0) != 0) {
    return std::nullopt;
  }
  const size_t level_end = text.find(':', kCgroupPrefix.size());
  if (level_end == std::string::npos) {
    return std::nullopt;
  }
  const std::string level = text.substr(kCgroupPrefix.size(), level_end - kCgroupPrefix.size());
  const std::string path = text.substr(level_end + 1);
  if (level.empty() || level.size() > 3 ||
      level.find_first_not_of("0123456789") != std::string::npos || !IsPlainPath(path)) {
    return std::nullopt;
  }
  return "socket cgroupv2 level " + level + " \"" + path + "\"";
}

std::optional<std::string> PortValue(const WfpCondition& condition) {
  if (const auto* range = std::get_if<WfpUint16Range>(&condition.value)) {
    return std::to_string(range->low) + "-" + std::to_string(range->high);
  }
  if (const auto* port = std::get_if<uint16_t>(&condition.value)) {
    return std::to_string(*port);
  }
  return std::nullopt;
}

// One condition as an nftables match; nullopt when Linux cannot test it, "" when it holds for
// every connection. `protocol` is the protocol the same rule tests, if any.
std::optional<std::string> Match(const WfpFilter& filter, const WfpCondition& condition,
                                 std::optional<uint8_t> protocol, bool& never) {
  const bool v6 = filter.layer == WfpLayer::kAleAuthConnectV6;
  switch (condition.field) {
    case WfpField::kIpRemoteAddress:
      if (const auto* network = std::get_if<WfpV4AddressMask>(&condition.value)) {
        const int ones = std::countl_one(network->mask);
        if (network->mask == 0) {
          return "";
        }
        const std::string address = Ipv4Text(network->address & network->mask);
        if (ones == 32 || (network->mask << ones) == 0) {
          return "ip daddr " + address + (ones == 32 ? "" : "/" + std::to_string(ones));
        }
        return "ip daddr & " + Ipv4Text(network->mask) + " == " + address;
      }
      if (const auto* address = std::get_if<uint32_t>(&condition.value)) {
        return "ip daddr " + Ipv4Text(*address);
      }
      if (const auto* prefix = std::get_if<WfpV6AddressPrefix>(&condition.value)) {
        if (prefix->prefix_length == 0) {
          return "";
        }
        return "ip6 daddr " + Ipv6Text(prefix->address) + "/" +
               std::to_string(prefix->prefix_length);
      }
      return std::nullopt;
    case WfpField::kIpProtocol:
      if (const auto* number = std::get_if<uint8_t>(&condition.value)) {
        return "meta l4proto " + std::to_string(*number);
      }
      return std::nullopt;
    case WfpField::kIpLocalPort:
    case WfpField::kIpRemotePort: {
      const bool local = condition.field == WfpField::kIpLocalPort;
      const std::optional<std::string> value = PortValue(condition);
      if (!value) {
        return std::nullopt;
      }
      // For ICMP the local port holds the type and the remote port the code.
      if (protocol == (v6 ? kProtocolIcmpv6 : kProtocolIcmp)) {
        return std::string(v6 ? "icmpv6 " : "icmp ") + (local ? "type " : "code ") + *value;
      }
      const std::string port = std::string("th ") + (local ? "sport " : "dport ") + *value;
      return protocol ? port : "meta l4proto { tcp, udp } " + port;
    }
    case WfpField::kIpLocalInterface: {
      const auto* luid = std::get_if<uint64_t>(&condition.value);
      if (luid == nullptr) {
        return std::nullopt;
      }
      const int index = InterfaceIndexFromLuid(*luid);
      if (index == 0) {
        never = true;  // no Linux interface has this LUID
        return "";
      }
      return "meta oif " + std::to_string(index);
    }
    case WfpField::kAleAppId:
      if (const auto* blob = std::get_if<WfpByteBlob>(&condition.value)) {
        return CgroupMatch(*blob);
      }
      return std::nullopt;
    case WfpField::kFlags: {
      const auto* flags = std::get_if<uint32_t>(&condition.value);
      if (flags == nullptr) {
        return std::nullopt;
      }
      const uint32_t bits = *flags;
      if (bits == 0) {
        return "";
      }
      if (bits != kWfpConditionFlagIsLoopback) {
        return std::nullopt;
      }
      // Everything addressed to this host leaves through a loopback device. The output path's
      // interface is the one chosen before another program's NAT moved the packet, so the
      // destination must be one of this host's own as well.
      return condition.match == WfpMatch::kFlagsAllSet
                 ? "meta oiftype loopback fib daddr type local"
                 : "fib daddr type != local";
    }
  }
  return std::nullopt;
}

}  // namespace

WfpByteBlob CgroupAppId(int level, const std::string& path_below_sys_fs_cgroup) {
  const std::string text =
      std::string(kCgroupPrefix) + std::to_string(level) + ":" + path_below_sys_fs_cgroup;
  return WfpByteBlob(text.begin(), text.end());
}

NftablesRules RenderNftablesRules(const WfpFilter& filter, NftablesHook hook) {
  // Alternatives per field, the protocol first so that ports know what they belong to.
  std::map<WfpField, std::vector<const WfpCondition*>> fields;
  for (const WfpCondition& condition : filter.conditions) {
    fields[condition.field].push_back(&condition);
  }
  std::vector<std::vector<const WfpCondition*>> combinations(1);
  for (const WfpField field :
       {WfpField::kIpProtocol, WfpField::kIpRemoteAddress, WfpField::kIpLocalPort,
        WfpField::kIpRemotePort, WfpField::kIpLocalInterface, WfpField::kAleAppId,
        WfpField::kFlags}) {
    if (!fields.contains(field)) {
      continue;
    }
    std::vector<std::vector<const WfpCondition*>> next;
    for (const auto& combination : combinations) {
      for (const WfpCondition* condition : fields[field]) {
        next.push_back(combination);
        next.back().push_back(condition);
      }
    }
    combinations = std::move(next);
  }

  NftablesRules result;
  if (hook != NftablesHook::kOutput && fields.contains(WfpField::kAleAppId)) {
    return result;
  }
  const std::string family =
      filter.layer == WfpLayer::kAleAuthConnectV4 ? "meta nfproto ipv4" : "meta nfproto ipv6";
  for (const auto& combination : combinations) {
    std::optional<uint8_t> protocol;
    std::string matches = family;
    bool never = false;
    for (const WfpCondition* condition : combination) {
      if (const auto* number = std::get_if<uint8_t>(&condition->value);
          number != nullptr && condition->field == WfpField::kIpProtocol) {
        protocol = *number;
      }
      const std::optional<std::string> match = Match(filter, *condition, protocol, never);
      if (!match) {
        return {kErrorNotSupported, {}};
      }
      if (!match->empty()) {
        matches += " " + *match;
      }
    }
    if (never) {
      continue;
    }
    if (filter.action == WfpAction::kPermit) {
      result.rules.push_back(matches + " accept");
    } else if (hook == NftablesHook::kPostrouting) {
      result.rules.push_back(matches + " drop");
    } else {
      result.rules.push_back(matches + " meta l4proto tcp reject with tcp reset");
      result.rules.push_back(matches + " reject with icmpx admin-prohibited");
    }
  }
  return result;
}

}  // namespace orvo_vpn_win_svc::platform
