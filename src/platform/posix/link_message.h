#pragma once

#include <cstdint>
#include <string>

#include "platform/posix/netlink_socket.h"

namespace orvo_vpn_win_svc::platform {

// What an RTM_NEWLINK message says about one link, as far as the service asks.
struct LinkMessage {
  int index = 0;
  uint16_t hardware_type = 0;  // ARPHRD_*: ARPHRD_NONE for a TUN device, ARPHRD_ETHER for TAP
  uint32_t flags = 0;          // IFF_*, including IFF_LOWER_UP
  std::string name;            // IFLA_IFNAME
  std::string alias;           // IFLA_IFALIAS, empty when none is set
  std::string kind;            // IFLA_INFO_KIND: "tun" for TUN and TAP devices
  uint8_t operstate = 0;       // IFLA_OPERSTATE (IF_OPER_*)
  uint32_t mtu = 0;            // IFLA_MTU
};

// False when the reply is not a link description.
bool ParseLinkMessage(const NetlinkReply& reply, LinkMessage& link);

// A request about the link `index` (0: the link named by an attribute), of `type`
// (RTM_GETLINK, RTM_NEWLINK, RTM_DELLINK), with the IFF_* `up_flags` to set among its flags.
NetlinkMessage LinkRequest(uint16_t type, uint16_t flags, int index, uint32_t up_flags = 0);

}  // namespace orvo_vpn_win_svc::platform
