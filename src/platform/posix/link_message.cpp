#include "platform/posix/link_message.h"

#include <linux/if.h>
#include <linux/if_link.h>
#include <linux/rtnetlink.h>
#include <sys/socket.h>

namespace orvo_vpn_win_svc::platform {

bool ParseLinkMessage(const NetlinkReply& reply, LinkMessage& link) {
  ifinfomsg header{};
  if (reply.type != RTM_NEWLINK || !ReadFamilyHeader(reply.payload, header)) {
    return false;
  }
  link = LinkMessage{};
  link.index = header.ifi_index;
  link.hardware_type = header.ifi_type;
  link.flags = header.ifi_flags;
  ForEachAttribute(AttributesAfter(reply.payload, sizeof(header)),
                   [&](uint16_t type, std::span<const uint8_t> data) {
                     switch (type) {
                       case IFLA_IFNAME:
                         link.name = AttributeText(data);
                         break;
                       case IFLA_IFALIAS:
                         link.alias = AttributeText(data);
                         break;
                       case IFLA_OPERSTATE:
                         link.operstate = data.empty() ? uint8_t{0} : data[0];
                         break;
                       case IFLA_MTU:
                         link.mtu = AttributeU32(data);
                         break;
                       case IFLA_LINKINFO:
                         ForEachAttribute(data,
                                          [&](uint16_t info_type, std::span<const uint8_t> info) {
                                            if (info_type == IFLA_INFO_KIND) {
                                              link.kind = AttributeText(info);
                                            }
                                          });
                         break;
                       default:
                         break;
                     }
                   });
  return true;
}

NetlinkMessage LinkRequest(uint16_t type, uint16_t flags, int index, uint32_t up_flags) {
  NetlinkMessage message(type, flags);
  ifinfomsg link{};
  link.ifi_family = AF_UNSPEC;
  link.ifi_index = index;
  link.ifi_flags = up_flags;
  link.ifi_change = up_flags;
  message.AppendHeader(link);
  return message;
}

}  // namespace orvo_vpn_win_svc::platform
