#include "runtime/exclusion_route_upkeep.h"

#include <vector>

#include "platform/log.h"

namespace orvo_vpn_win_svc {
namespace {

using platform::ForwardRow;
using platform::IpAddress;

constexpr uint32_t kExclusionRouteMetric = 1;
constexpr uint32_t kProtocolOther = 1;  // MIB_IPPROTO_OTHER

bool IsHostRouteTo(const ForwardRow& row, const IpAddress& server) {
  return row.destination.family == IpAddress::Family::kIpv4 && row.prefix_length == 32 &&
         row.destination == server;
}

bool IsDefaultRoute(const ForwardRow& row) {
  return row.destination.family == IpAddress::Family::kIpv4 && row.prefix_length == 0;
}

}  // namespace

bool ExclusionRouteUpkeep(platform::IpHelper& ip_helper, const IpAddress& server_ipv4,
                          bool server_ipv4_valid, platform::InterfaceLuid luid) {
  if (!server_ipv4_valid) {
    return true;
  }
  ForwardRow best;
  const bool through_tunnel =
      ip_helper.GetBestRoute(server_ipv4, best) == platform::kIpHelperOk && best.luid == luid;
  bool missing = true;
  bool needs_fix = through_tunnel;

  std::vector<ForwardRow> table;
  if (ip_helper.GetForwardTable(IpAddress::Family::kIpv4, table) == platform::kIpHelperOk) {
    for (const ForwardRow& row : table) {
      if (!IsHostRouteTo(row, server_ipv4)) {
        continue;
      }
      if (!through_tunnel && row.luid != luid) {
        return true;  // the route is in place
      }
      missing = false;
      needs_fix = true;
      break;
    }
  }

  std::vector<ForwardRow> defaults_table;
  if (ip_helper.GetForwardTable(IpAddress::Family::kIpv4, defaults_table) !=
      platform::kIpHelperOk) {
    return false;
  }
  const ForwardRow* chosen = nullptr;
  for (const ForwardRow& row : defaults_table) {
    if (IsDefaultRoute(row) && row.luid != luid &&
        (chosen == nullptr || row.metric < chosen->metric)) {
      chosen = &row;
    }
  }
  if (chosen == nullptr) {
    return false;
  }
  ForwardRow exclusion;
  exclusion.luid = chosen->luid;
  exclusion.next_hop = chosen->next_hop;
  exclusion.destination = server_ipv4;
  exclusion.prefix_length = 32;
  exclusion.metric = kExclusionRouteMetric;
  exclusion.protocol = kProtocolOther;
  exclusion.valid_lifetime = platform::kInfiniteLifetime;
  exclusion.preferred_lifetime = platform::kInfiniteLifetime;

  if (!missing && needs_fix) {
    std::vector<ForwardRow> current;
    if (ip_helper.GetForwardTable(IpAddress::Family::kIpv4, current) == platform::kIpHelperOk) {
      for (const ForwardRow& row : current) {
        if (IsHostRouteTo(row, server_ipv4) && row.luid == luid) {
          ip_helper.DeleteForwardEntry(row);
        }
      }
    }
  }
  if (ip_helper.CreateForwardEntry(exclusion) == platform::kIpHelperOk) {
    DebugLine(L"ORVO_SVC: ensured server /32 exclusion route\n");
  }
  return true;
}

}  // namespace orvo_vpn_win_svc
