#include "platform/ip_helper.h"

#include <linux/if.h>
#include <linux/if_addr.h>
#include <linux/if_link.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/posix/link_message.h"
#include "platform/posix/linux_luid.h"
#include "platform/posix/netlink_socket.h"
#include "platform/text_encoding.h"

// The IP Helper calls over rtnetlink, in the network namespace of the calling thread: each call
// opens a route socket of its own, so calls from several threads never share one. Results are
// 0 or a Linux errno value; a LUID that names no Linux interface gives ENODEV.
namespace orvo_vpn_win_svc::platform {
namespace {

// Windows' IF_OPER_STATUS values for the link states Linux reports (IF_OPER_*).
constexpr int32_t kIfOperStatusDown = 2;
constexpr int32_t kIfOperStatusTesting = 3;
constexpr int32_t kIfOperStatusUnknown = 4;
constexpr int32_t kIfOperStatusDormant = 5;
constexpr int32_t kIfOperStatusNotPresent = 6;
constexpr int32_t kIfOperStatusLowerLayerDown = 7;

// Next hops of a multipath route are padded to 4 bytes, as netlink attributes are.
constexpr size_t NextHopAlign(size_t size) {
  return (size + 3) & ~size_t{3};
}

int AddressFamily(IpAddress::Family family) {
  return family == IpAddress::Family::kIpv4 ? AF_INET : AF_INET6;
}

size_t AddressSize(IpAddress::Family family) {
  return family == IpAddress::Family::kIpv4 ? 4 : 16;
}

uint8_t FullPrefix(IpAddress::Family family) {
  return family == IpAddress::Family::kIpv4 ? 32 : 128;
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

bool IsZero(const IpAddress& address) {
  for (size_t i = 0; i < AddressSize(address.family); ++i) {
    if (address.bytes[i] != 0) {
      return false;
    }
  }
  return true;
}

// A TUN device that is up and attached reports IF_OPER_UNKNOWN with IFF_LOWER_UP, never
// IF_OPER_UP; an administratively raised link with a carrier counts as up either way.
int32_t OperStatus(uint32_t flags, uint8_t operstate) {
  if ((flags & IFF_UP) != 0 && ((flags & IFF_LOWER_UP) != 0 || operstate == IF_OPER_UP)) {
    return kIfOperStatusUp;
  }
  if ((flags & IFF_UP) == 0) {
    return kIfOperStatusDown;
  }
  switch (operstate) {
    case IF_OPER_NOTPRESENT:
      return kIfOperStatusNotPresent;
    case IF_OPER_DOWN:
      return kIfOperStatusDown;
    case IF_OPER_LOWERLAYERDOWN:
      return kIfOperStatusLowerLayerDown;
    case IF_OPER_TESTING:
      return kIfOperStatusTesting;
    case IF_OPER_DORMANT:
      return kIfOperStatusDormant;
    default:
      return kIfOperStatusUnknown;
  }
}

// A link as an interface row. The alias is the link's ifalias when it has one (libwintun.so
// keeps an adapter's description there), else its name; so is the description.
InterfaceRow InterfaceRowOf(const LinkMessage& link) {
  InterfaceRow row;
  row.index = static_cast<uint32_t>(link.index);
  row.luid = LuidFromInterfaceIndex(link.index);
  row.alias = Utf8ToWide(link.alias.empty() ? link.name : link.alias);
  row.description = row.alias;
  row.oper_status = OperStatus(link.flags, link.operstate);
  return row;
}

// The route rows of one RTM_NEWROUTE message: one row, or one per next hop of a multipath
// route. `main_table_only` drops routes of other tables, cached clones and non-unicast routes
// (local, broadcast, blackhole), as the forward table of Windows holds none of those.
std::vector<ForwardRow> ParseRoute(const NetlinkReply& reply, bool main_table_only) {
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

class RtnetlinkIpHelper final : public IpHelper {
 public:
  uint32_t GetInterfaceTable(std::vector<InterfaceRow>& rows) override {
    NetlinkSocket socket;
    NetlinkMessage message = LinkRequest(RTM_GETLINK, 0, 0);
    std::vector<InterfaceRow> found;
    const int error = socket.Dump(message, [&](const NetlinkReply& reply) {
      LinkMessage link;
      if (ParseLinkMessage(reply, link)) {
        found.push_back(InterfaceRowOf(link));
      }
    });
    if (error == 0) {
      rows = std::move(found);
    }
    return static_cast<uint32_t>(error);
  }

  uint32_t CreateUnicastAddress(const UnicastAddressRow& row) override {
    return ChangeAddress(RTM_NEWADDR, NLM_F_CREATE | NLM_F_EXCL, row);
  }

  uint32_t DeleteUnicastAddress(const UnicastAddressRow& row) override {
    return ChangeAddress(RTM_DELADDR, 0, row);
  }

  uint32_t GetInterfaceMtu(InterfaceLuid luid, uint32_t& mtu) override {
    const int index = InterfaceIndexFromLuid(luid);
    if (index == 0) {
      return ENODEV;
    }
    NetlinkSocket socket;
    NetlinkMessage message = LinkRequest(RTM_GETLINK, 0, index);
    bool found = false;
    uint32_t value = 0;
    const int error = socket.Request(message, [&](const NetlinkReply& reply) {
      LinkMessage link;
      if (ParseLinkMessage(reply, link)) {
        value = link.mtu;
        found = true;
      }
    });
    if (error != 0) {
      return static_cast<uint32_t>(error);
    }
    if (!found) {
      return ENODEV;
    }
    mtu = value;
    return 0;
  }

  uint32_t SetInterfaceMtu(InterfaceLuid luid, uint32_t mtu) override {
    const int index = InterfaceIndexFromLuid(luid);
    if (index == 0) {
      return ENODEV;
    }
    NetlinkSocket socket;
    NetlinkMessage message = LinkRequest(RTM_NEWLINK, 0, index);
    message.AddU32Attribute(IFLA_MTU, mtu);
    return static_cast<uint32_t>(socket.Request(message));
  }

  // The route the kernel would use for `destination`, as the table entry it matched
  // (RTM_F_FIB_MATCH): its prefix, interface, gateway, metric and protocol. A multipath entry
  // gives its first next hop.
  uint32_t GetBestRoute(const IpAddress& destination, ForwardRow& route) override {
    NetlinkSocket socket;
    NetlinkMessage message(RTM_GETROUTE, 0);
    rtmsg request{};
    request.rtm_family = static_cast<unsigned char>(AddressFamily(destination.family));
    request.rtm_dst_len = FullPrefix(destination.family);
    request.rtm_flags = RTM_F_FIB_MATCH;
    message.AppendHeader(request);
    message.AddAttribute(RTA_DST, destination.bytes.data(), AddressSize(destination.family));
    std::vector<ForwardRow> rows;
    const int error = socket.Request(message, [&](const NetlinkReply& reply) {
      if (reply.type == RTM_NEWROUTE && rows.empty()) {
        rows = ParseRoute(reply, false);
      }
    });
    if (error != 0) {
      return static_cast<uint32_t>(error);
    }
    if (rows.empty()) {
      return ENETUNREACH;
    }
    route = rows.front();
    return 0;
  }

  uint32_t GetForwardTable(IpAddress::Family family, std::vector<ForwardRow>& rows) override {
    NetlinkSocket socket;
    NetlinkMessage message(RTM_GETROUTE, 0);
    rtmsg request{};
    request.rtm_family = static_cast<unsigned char>(AddressFamily(family));
    message.AppendHeader(request);
    std::vector<ForwardRow> found;
    const int error = socket.Dump(message, [&](const NetlinkReply& reply) {
      if (reply.type == RTM_NEWROUTE) {
        for (ForwardRow& row : ParseRoute(reply, true)) {
          found.push_back(row);
        }
      }
    });
    if (error == 0) {
      rows = std::move(found);
    }
    return static_cast<uint32_t>(error);
  }

  // Linux keeps IPv4 routes for ever: the lifetimes of the row are not carried.
  uint32_t CreateForwardEntry(const ForwardRow& row) override {
    // Without NLM_F_EXCL the kernel refuses only a route with the same destination, metric and
    // next hop, as Windows refuses only a duplicate row, and lets routes that differ in their
    // interface or gateway stand beside each other.
    return ChangeRoute(RTM_NEWROUTE, NLM_F_CREATE, row);
  }

  uint32_t DeleteForwardEntry(const ForwardRow& row) override {
    return ChangeRoute(RTM_DELROUTE, 0, row);
  }

 private:
  static uint32_t ChangeAddress(uint16_t type, uint16_t flags, const UnicastAddressRow& row) {
    const int index = InterfaceIndexFromLuid(row.luid);
    if (index == 0) {
      return ENODEV;
    }
    if (row.prefix_length > FullPrefix(row.address.family)) {
      return EINVAL;
    }
    NetlinkSocket socket;
    NetlinkMessage message(type, flags);
    ifaddrmsg address{};
    address.ifa_family = static_cast<uint8_t>(AddressFamily(row.address.family));
    address.ifa_prefixlen = row.prefix_length;
    address.ifa_scope = RT_SCOPE_UNIVERSE;
    address.ifa_index = static_cast<uint32_t>(index);
    message.AppendHeader(address);
    const size_t size = AddressSize(row.address.family);
    message.AddAttribute(IFA_LOCAL, row.address.bytes.data(), size);
    message.AddAttribute(IFA_ADDRESS, row.address.bytes.data(), size);
    if (type == RTM_NEWADDR &&
        (row.valid_lifetime != kInfiniteLifetime || row.preferred_lifetime != kInfiniteLifetime)) {
      ifa_cacheinfo lifetimes{};
      lifetimes.ifa_valid = row.valid_lifetime;
      lifetimes.ifa_prefered = row.preferred_lifetime;
      message.AddAttribute(IFA_CACHEINFO, &lifetimes, sizeof(lifetimes));
    }
    return static_cast<uint32_t>(socket.Request(message));
  }

  static uint32_t ChangeRoute(uint16_t type, uint16_t flags, const ForwardRow& row) {
    const int index = InterfaceIndexFromLuid(row.luid);
    if (index == 0) {
      return ENODEV;
    }
    const bool on_link = IsZero(row.next_hop);
    if (row.prefix_length > FullPrefix(row.destination.family) || row.protocol > 0xFF ||
        (!on_link && row.next_hop.family != row.destination.family)) {
      return EINVAL;
    }
    NetlinkSocket socket;
    NetlinkMessage message(type, flags);
    rtmsg route{};
    route.rtm_family = static_cast<unsigned char>(AddressFamily(row.destination.family));
    route.rtm_dst_len = row.prefix_length;
    route.rtm_table = RT_TABLE_MAIN;
    // Windows' protocol numbers are kept as they are, so a row reads back as it was written.
    route.rtm_protocol = static_cast<unsigned char>(row.protocol);
    route.rtm_type = RTN_UNICAST;
    if (type == RTM_DELROUTE) {
      route.rtm_scope = RT_SCOPE_NOWHERE;  // any scope matches
    } else {
      route.rtm_scope = on_link && row.destination.family == IpAddress::Family::kIpv4
                            ? RT_SCOPE_LINK
                            : RT_SCOPE_UNIVERSE;
    }
    message.AppendHeader(route);
    const size_t size = AddressSize(row.destination.family);
    message.AddAttribute(RTA_DST, row.destination.bytes.data(), size);
    message.AddU32Attribute(RTA_OIF, static_cast<uint32_t>(index));
    if (!on_link) {
      message.AddAttribute(RTA_GATEWAY, row.next_hop.bytes.data(), size);
    }
    message.AddU32Attribute(RTA_PRIORITY, row.metric);
    return static_cast<uint32_t>(socket.Request(message));
  }
};

}  // namespace

std::shared_ptr<IpHelper> SystemIpHelper() {
  return std::make_shared<RtnetlinkIpHelper>();
}

}  // namespace orvo_vpn_win_svc::platform
