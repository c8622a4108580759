#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/posix/file_descriptor.h"

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
  LinkControl();

  int Find(const std::string& name, LinkFacts& facts);
  int SetAlias(int index, std::string_view alias);
  int BringUp(int index);
  int Remove(int index);

 private:
  // Sends one request of `type` for the link `index` (0: the link named by the attribute), with
  // `up_flags` set among the link's flags and one optional attribute, and waits for the
  // kernel's acknowledgement; a link description in the answer lands in `facts`.
  int Request(uint16_t type, int index, uint32_t up_flags, uint16_t attribute,
              std::string_view attribute_value, LinkFacts* facts);

  platform::FileDescriptor socket_;
  int open_error_ = 0;
  uint32_t sequence_ = 0;
};

}  // namespace orvo_vpn_win_svc::wintun
