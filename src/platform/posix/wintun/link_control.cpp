#include "link_control.h"

#include <linux/if.h>
#include <linux/if_link.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <vector>

namespace orvo_vpn_win_svc::wintun {
namespace {

constexpr size_t Align(size_t size) {
  return (size + 3) & ~size_t{3};
}

// Builds one netlink message: header, link header, attributes.
class Message {
 public:
  Message(uint16_t type, uint32_t sequence, const ifinfomsg& link) {
    nlmsghdr header{};
    header.nlmsg_type = type;
    header.nlmsg_flags = NLM_F_REQUEST | NLM_F_ACK;
    header.nlmsg_seq = sequence;
    Append(&header, sizeof(header));
    Append(&link, sizeof(link));
  }

  void AddAttribute(uint16_t type, const void* data, size_t size) {
    rtattr attribute{};
    attribute.rta_type = type;
    attribute.rta_len = static_cast<uint16_t>(sizeof(rtattr) + size);
    Append(&attribute, sizeof(attribute));
    Append(data, size);
  }

  // The finished message, with its length filled in.
  const std::vector<uint8_t>& Bytes() {
    const auto length = static_cast<uint32_t>(bytes_.size());
    std::memcpy(bytes_.data() + offsetof(nlmsghdr, nlmsg_len), &length, sizeof(length));
    return bytes_;
  }

 private:
  void Append(const void* data, size_t size) {
    const auto* first = static_cast<const uint8_t*>(data);
    bytes_.insert(bytes_.end(), first, first + size);
    bytes_.resize(Align(bytes_.size()), 0);
  }

  std::vector<uint8_t> bytes_;
};

// Walks the attributes in bytes [begin, end) and calls `visit(type, data, size)` for each.
template <typename Visit>
void ForEachAttribute(const uint8_t* begin, const uint8_t* end, Visit visit) {
  while (end - begin >= static_cast<std::ptrdiff_t>(sizeof(rtattr))) {
    rtattr attribute;
    std::memcpy(&attribute, begin, sizeof(attribute));
    if (attribute.rta_len < sizeof(rtattr) || attribute.rta_len > end - begin) {
      return;
    }
    visit(static_cast<uint16_t>(attribute.rta_type & NLA_TYPE_MASK), begin + sizeof(rtattr),
          attribute.rta_len - sizeof(rtattr));
    begin += std::min<std::ptrdiff_t>(static_cast<std::ptrdiff_t>(Align(attribute.rta_len)),
                                      end - begin);
  }
}

std::string Text(const uint8_t* data, size_t size) {
  std::string text(reinterpret_cast<const char*>(data), size);
  const size_t zero = text.find('\0');
  return zero == std::string::npos ? text : text.substr(0, zero);
}

void ReadLink(const uint8_t* payload, size_t size, LinkFacts& facts) {
  if (size < sizeof(ifinfomsg)) {
    return;
  }
  ifinfomsg link;
  std::memcpy(&link, payload, sizeof(link));
  facts.index = link.ifi_index;
  facts.hardware_type = link.ifi_type;
  const uint8_t* attributes = payload + Align(sizeof(ifinfomsg));
  ForEachAttribute(attributes, payload + size, [&](uint16_t type, const uint8_t* data, size_t n) {
    if (type == IFLA_IFALIAS) {
      facts.alias = Text(data, n);
    } else if (type == IFLA_LINKINFO) {
      ForEachAttribute(data, data + n, [&](uint16_t info_type, const uint8_t* info, size_t m) {
        if (info_type == IFLA_INFO_KIND) {
          facts.kind = Text(info, m);
        }
      });
    }
  });
}

}  // namespace

LinkControl::LinkControl() : socket_(::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE)) {
  if (!socket_.Valid()) {
    open_error_ = errno;
    return;
  }
  // The kernel answers at once; the limit only guards against waiting forever on a fault.
  timeval limit{5, 0};
  setsockopt(socket_.Get(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof(limit));
}

int LinkControl::Find(const std::string& name, LinkFacts& facts) {
  facts = LinkFacts{};
  return Request(RTM_GETLINK, 0, 0, IFLA_IFNAME, {name.c_str(), name.size() + 1}, &facts);
}

int LinkControl::SetAlias(int index, std::string_view alias) {
  return Request(RTM_NEWLINK, index, 0, IFLA_IFALIAS, alias, nullptr);
}

int LinkControl::BringUp(int index) {
  return Request(RTM_NEWLINK, index, IFF_UP, 0, {}, nullptr);
}

int LinkControl::Remove(int index) {
  return Request(RTM_DELLINK, index, 0, 0, {}, nullptr);
}

int LinkControl::Request(uint16_t type, int index, uint32_t up_flags, uint16_t attribute,
                         std::string_view attribute_value, LinkFacts* facts) {
  if (!socket_.Valid()) {
    return open_error_;
  }
  ifinfomsg link{};
  link.ifi_family = AF_UNSPEC;
  link.ifi_index = index;
  link.ifi_flags = up_flags;
  link.ifi_change = up_flags;
  const uint32_t sequence = ++sequence_;
  Message message(type, sequence, link);
  if (attribute != 0) {
    message.AddAttribute(attribute, attribute_value.data(), attribute_value.size());
  }
  const std::vector<uint8_t>& bytes = message.Bytes();
  sockaddr_nl kernel{};
  kernel.nl_family = AF_NETLINK;
  if (sendto(socket_.Get(), bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&kernel),
             sizeof(kernel)) < 0) {
    return errno;
  }
  // Answers are read until the acknowledgement (or error) of this request arrives.
  std::vector<uint8_t> answer(32768);
  for (;;) {
    const ssize_t received = recv(socket_.Get(), answer.data(), answer.size(), 0);
    if (received < 0) {
      if (errno == EINTR) {
        continue;
      }
      return errno == EAGAIN ? ETIMEDOUT : errno;
    }
    size_t offset = 0;
    const auto end = static_cast<size_t>(received);
    while (end - offset >= sizeof(nlmsghdr)) {
      nlmsghdr header;
      std::memcpy(&header, answer.data() + offset, sizeof(header));
      if (header.nlmsg_len < sizeof(nlmsghdr) || header.nlmsg_len > end - offset) {
        break;
      }
      const uint8_t* payload = answer.data() + offset + Align(sizeof(nlmsghdr));
      const size_t payload_size = header.nlmsg_len - Align(sizeof(nlmsghdr));
      if (header.nlmsg_seq == sequence) {
        if (header.nlmsg_type == NLMSG_ERROR && payload_size >= sizeof(int)) {
          int error = 0;
          std::memcpy(&error, payload, sizeof(error));
          return -error;
        }
        if (header.nlmsg_type == RTM_NEWLINK && facts != nullptr) {
          ReadLink(payload, payload_size, *facts);
        }
      }
      offset += Align(header.nlmsg_len);
    }
  }
}

}  // namespace orvo_vpn_win_svc::wintun
