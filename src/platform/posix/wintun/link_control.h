#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/posix/netlink_socket.h"

namespace orvo_vpn_win_svc::wintun {

// What the library needs to know about one network link.
struct LinkFacts {
  int index = 0;
  uint16_t hardware_type = 0;  // ARPHRD_*: ARPHRD_NONE for a TUN device, ARPHRD_ETHER for TAP
  std::string kind;            // IFLA_INFO_KIND: "tun" for TUN and TAP devices
  std::string alias;           // IFLA_IFALIAS, empty when none is set
};

// Reads and changes links over rtnetlink, in the network namespace of the thread that made it.
// Each operation returns 0 or a Linux errno value.
class LinkControl {
 public:
  int Find(const std::string& name, LinkFacts& facts);
  int SetAlias(int index, std::string_view alias);
  int BringUp(int index);
  int Remove(int index);

 private:
  platform::NetlinkSocket socket_;
};

}  // namespace orvo_vpn_win_svc::wintun
