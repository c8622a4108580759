#include "link_control.h"

#include <linux/if.h>
#include <linux/if_link.h>
#include <linux/rtnetlink.h>

#include "platform/posix/link_message.h"

namespace orvo_vpn_win_svc::wintun {

int LinkControl::Find(const std::string& name, LinkFacts& facts) {
  facts = LinkFacts{};
  platform::NetlinkMessage message = platform::LinkRequest(RTM_GETLINK, 0, 0);
  message.AddAttribute(IFLA_IFNAME, name.c_str(), name.size() + 1);
  return socket_.Request(message, [&](const platform::NetlinkReply& reply) {
    platform::LinkMessage link;
    if (platform::ParseLinkMessage(reply, link)) {
      facts.index = link.index;
      facts.hardware_type = link.hardware_type;
      facts.kind = link.kind;
      facts.alias = link.alias;
    }
  });
}

int LinkControl::SetAlias(int index, std::string_view alias) {
  platform::NetlinkMessage message = platform::LinkRequest(RTM_NEWLINK, 0, index);
  message.AddAttribute(IFLA_IFALIAS, alias.data(), alias.size());
  return socket_.Request(message);
}

int LinkControl::BringUp(int index) {
  platform::NetlinkMessage message = platform::LinkRequest(RTM_NEWLINK, 0, index, IFF_UP);
  return socket_.Request(message);
}

int LinkControl::Remove(int index) {
  platform::NetlinkMessage message = platform::LinkRequest(RTM_DELLINK, 0, index);
  return socket_.Request(message);
}

}  // namespace orvo_vpn_win_svc::wintun
