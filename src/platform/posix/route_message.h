#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/ip_helper.h"
#include "platform/posix/netlink_socket.h"

namespace orvo_vpn_win_svc::platform {

int AddressFamily(IpAddress::Family family);  // AF_INET or AF_INET6
size_t AddressSize(IpAddress::Family family);
uint8_t FullPrefix(IpAddress::Family family);
// 0.0.0.0 or ::, the next hop of an on-link route.
bool IsUnspecified(const IpAddress& address);

// The route rows of one RTM_NEWROUTE message: one row, or one per next hop of a multipath
// route; LUIDs from the output interfaces (linux_luid.h), the kernel's protocol number as it is.
// `main_table_only` drops routes of other tables, cached clones and routes that are not
// unicast (local, broadcast, blackhole), as the forward table of Windows holds none of those.
std::vector<ForwardRow> ParseRouteMessage(const NetlinkReply& reply, bool main_table_only);

}  // namespace orvo_vpn_win_svc::platform
