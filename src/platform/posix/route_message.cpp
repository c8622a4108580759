#include "platform/posix/route_message.h"

#include <linux/rtnetlink.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstring>

#include "platform/posix/linux_luid.h"

namespace orvo_vpn_win_svc::platform {
namespace {

// Next hops of a multipath route are padded to 4 bytes, as netlink attributes are.
constexpr size_t NextHopAlign(size_t size) {
  return (size + 3) & ~size_t{3};
}

// An address attribute of `family`; an attribute of another size leaves the address zero.
IpAddress ReadAddress(IpAddress::Family family, std::span<const uint8_t> data) {
  IpAddress address;
  address.family = family;
  if (data.size() == AddressSize(family)) {
    std::memcpy(address.bytes.data(), data.data(), data.size());
  }
  return address;
}

}  // namespace

int AddressFamily(IpAddress::Family family) {
  return family == IpAddress::Family::kIpv4 ? AF_INET : AF_INET6;
}

size_t AddressSize(IpAddress::Family family) {
  return family == IpAddress::Family::kIpv4 ? 4 : 16;
}

uint8_t FullPrefix(IpAddress::Family family) {
  return family == IpAddress::Family::kIpv4 ? 32 : 128;
}

bool IsUnspecified(const IpAddress& address) {
  for (size_t i = 0; i < AddressSize(address.family); ++i) {
    if (address.bytes[i] != 0) {
      return false;
    }
  }
  return true;
}

std::vector<ForwardRow> ParseRouteMessage(const NetlinkReply& reply, bool main_table_only) {
  std::vector<ForwardRow> rows;
  rtmsg route{};
  if (!ReadFamilyHeader(reply.payload, route) ||
      (route.rtm_family != AF_INET && route.rtm_family != AF_INET6)) {
    return rows;
  }
  const IpAddress::Family family =
      route.rtm_family == AF_INET ? IpAddress::Family::kIpv4 : IpAddress::Family::kIpv6;
  ForwardRow row;
  row.destination.family = family;
  row.next_hop.family = family;
  row.prefix_length = route.rtm_dst_len;
  row.protocol = route.rtm_protocol;
  uint32_t table = route.rtm_table;
  std::span<const uint8_t> multipath;
  ForEachAttribute(AttributesAfter(reply.payload, sizeof(route)),
                   [&](uint16_t type, std::span<const uint8_t> data) {
                     switch (type) {
                       case RTA_DST:
                         row.destination = ReadAddress(family, data);
                         break;
                       case RTA_GATEWAY:
                         row.next_hop = ReadAddress(family, data);
                         break;
                       case RTA_OIF:
                         row.luid = LuidFromInterfaceIndex(static_cast<int>(AttributeU32(data)));
                         break;
                       case RTA_PRIORITY:
                         row.metric = AttributeU32(data);
                         break;
                       case RTA_TABLE:
                         table = AttributeU32(data);
                         break;
                       case RTA_MULTIPATH:
                         multipath = data;
                         break;
                       default:
                         break;
                     }
                   });
  if (main_table_only && (table != RT_TABLE_MAIN || route.rtm_type != RTN_UNICAST ||
                          (route.rtm_flags & RTM_F_CLONED) != 0)) {
    return rows;
  }
  if (multipath.empty()) {
    rows.push_back(row);
    return rows;
  }
  while (multipath.size() >= sizeof(rtnexthop)) {
    rtnexthop hop;
    std::memcpy(&hop, multipath.data(), sizeof(hop));
    if (hop.rtnh_len < sizeof(hop) || hop.rtnh_len > multipath.size()) {
      break;
    }
    ForwardRow hop_row = row;
    hop_row.luid = LuidFromInterfaceIndex(hop.rtnh_ifindex);
    ForEachAttribute(
        multipath.subspan(NextHopAlign(sizeof(hop)), hop.rtnh_len - NextHopAlign(sizeof(hop))),
        [&](uint16_t type, std::span<const uint8_t> data) {
          if (type == RTA_GATEWAY) {
            hop_row.next_hop = ReadAddress(family, data);
          }
        });
    rows.push_back(hop_row);
    multipath = multipath.subspan(std::min<size_t>(NextHopAlign(hop.rtnh_len), multipath.size()));
  }
  return rows;
}

}  // namespace orvo_vpn_win_svc::platform
