#include "platform/ip_helper.h"

#include <linux/if.h>
#include <linux/if_addr.h>
#include <linux/if_link.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>

#include "platform/posix/link_message.h"
#include "platform/posix/linux_luid.h"
#include "platform/posix/netlink_socket.h"
#include "platform/posix/route_message.h"
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

// Many kernels report a TUN device that is up and attached (and loopback) as IF_OPER_UNKNOWN
// with IFF_LOWER_UP, never IF_OPER_UP: a raised link with a carrier counts as up either way.
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
        rows = ParseRouteMessage(reply, false);
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
        for (ForwardRow& row : ParseRouteMessage(reply, true)) {
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
    const bool on_link = IsUnspecified(row.next_hop);
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
    // A delete names the scope the route was made with: the kernel takes a missing gateway as
    // "any gateway", so without it deleting an on-link row would also take a route to the same
    // destination through a gateway, which Windows, matching the whole row, leaves alone.
    route.rtm_scope = on_link && row.destination.family == IpAddress::Family::kIpv4
                          ? RT_SCOPE_LINK
                          : RT_SCOPE_UNIVERSE;
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
