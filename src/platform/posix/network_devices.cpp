#include "platform/network_devices.h"

#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "platform/posix/file_descriptor.h"
#include "platform/text_encoding.h"

namespace orvo_vpn_win_svc::platform {
namespace {

struct LinkRecord {
  int index = 0;
  NetworkDevice device;
};

// The netlink macros cast the old way; these walk the same layout with named casts.
constexpr size_t Align(size_t length) {
  return (length + NLMSG_ALIGNTO - 1) & ~size_t{NLMSG_ALIGNTO - 1};
}
constexpr size_t AttributeAlign(size_t length) {
  return (length + RTA_ALIGNTO - 1) & ~size_t{RTA_ALIGNTO - 1};
}

// Calls `visit` for each whole message in a received buffer.
template <typename Visit>
void ForEachMessage(const char* buffer, size_t length, Visit visit) {
  size_t offset = 0;
  while (length - offset >= sizeof(nlmsghdr)) {
    const auto* message = reinterpret_cast<const nlmsghdr*>(buffer + offset);
    if (message->nlmsg_len < sizeof(nlmsghdr) || message->nlmsg_len > length - offset) {
      return;
    }
    if (!visit(*message)) {
      return;
    }
    offset += Align(message->nlmsg_len);
  }
}

const char* Payload(const nlmsghdr& message) {
  return reinterpret_cast<const char*>(&message) + Align(sizeof(nlmsghdr));
}

struct LinkRequest {
  nlmsghdr header;
  ifinfomsg link;
};

// Sends one request on the route netlink socket.
bool SendRequest(int fd, uint16_t type, uint16_t flags, int link_index, uint32_t sequence) {
  LinkRequest request{};
  request.header.nlmsg_len = static_cast<uint32_t>(Align(sizeof(nlmsghdr)) + sizeof(ifinfomsg));
  request.header.nlmsg_type = type;
  request.header.nlmsg_flags = static_cast<uint16_t>(NLM_F_REQUEST | flags);
  request.header.nlmsg_seq = sequence;
  request.link.ifi_family = AF_UNSPEC;
  request.link.ifi_index = link_index;
  sockaddr_nl kernel{};
  kernel.nl_family = AF_NETLINK;
  return sendto(fd, &request, request.header.nlmsg_len, 0, reinterpret_cast<sockaddr*>(&kernel),
                sizeof kernel) == static_cast<ssize_t>(request.header.nlmsg_len);
}

std::wstring AttributeText(const rtattr& attribute) {
  const char* data = reinterpret_cast<const char*>(&attribute) + AttributeAlign(sizeof(rtattr));
  const size_t length = attribute.rta_len - AttributeAlign(sizeof(rtattr));
  return Utf8ToWide(std::string_view(data, strnlen(data, length)));
}

// The link of one RTM_NEWLINK message with its name and alias.
LinkRecord ParseLink(const nlmsghdr& message) {
  LinkRecord record;
  const auto* link = reinterpret_cast<const ifinfomsg*>(Payload(message));
  record.index = link->ifi_index;
  const size_t start = Align(sizeof(nlmsghdr)) + Align(sizeof(ifinfomsg));
  size_t offset = start;
  const char* base = reinterpret_cast<const char*>(&message);
  while (message.nlmsg_len >= offset + sizeof(rtattr)) {
    const auto* attribute = reinterpret_cast<const rtattr*>(base + offset);
    if (attribute->rta_len < sizeof(rtattr) || attribute->rta_len > message.nlmsg_len - offset) {
      break;
    }
    if (attribute->rta_type == IFLA_IFNAME) {
      record.device.friendly_name = AttributeText(*attribute);
    } else if (attribute->rta_type == IFLA_IFALIAS) {
      record.device.description = AttributeText(*attribute);
    }
    offset += AttributeAlign(attribute->rta_len);
  }
  return record;
}

// Reads the links of the namespace from a dump; false with `error` set when the kernel refused.
bool ReadLinks(int fd, uint32_t sequence, std::vector<LinkRecord>& links, uint32_t& error) {
  std::vector<char> buffer(64 * 1024);
  for (;;) {
    const ssize_t length = recv(fd, buffer.data(), buffer.size(), 0);
    if (length < 0) {
      if (errno == EINTR) {
        continue;
      }
      error = static_cast<uint32_t>(errno);
      return false;
    }
    enum class State { kMore, kDone, kFailed } state = State::kMore;
    ForEachMessage(buffer.data(), static_cast<size_t>(length), [&](const nlmsghdr& message) {
      if (message.nlmsg_seq != sequence) {
        return true;
      }
      if (message.nlmsg_type == NLMSG_DONE) {
        state = State::kDone;
        return false;
      }
      if (message.nlmsg_type == NLMSG_ERROR) {
        const auto* failure = reinterpret_cast<const nlmsgerr*>(Payload(message));
        error = static_cast<uint32_t>(-failure->error);
        state = State::kFailed;
        return false;
      }
      if (message.nlmsg_type == RTM_NEWLINK &&
          message.nlmsg_len >= Align(sizeof(nlmsghdr)) + sizeof(ifinfomsg)) {
        links.push_back(ParseLink(message));
      }
      return true;
    });
    if (state != State::kMore) {
      return state == State::kDone;
    }
  }
}

// Waits for the kernel's acknowledgement of a request; 0 or the error code.
uint32_t ReadAcknowledgement(int fd, uint32_t sequence) {
  char buffer[8192];
  for (;;) {
    const ssize_t length = recv(fd, buffer, sizeof buffer, 0);
    if (length < 0) {
      if (errno == EINTR) {
        continue;
      }
      return static_cast<uint32_t>(errno);
    }
    std::optional<uint32_t> result;
    ForEachMessage(buffer, static_cast<size_t>(length), [&](const nlmsghdr& message) {
      if (message.nlmsg_seq == sequence && message.nlmsg_type == NLMSG_ERROR) {
        result = static_cast<uint32_t>(-reinterpret_cast<const nlmsgerr*>(Payload(message))->error);
        return false;
      }
      return true;
    });
    if (result) {
      return *result;
    }
  }
}

class LinkSet final : public NetworkDeviceSet {
 public:
  LinkSet(FileDescriptor socket, std::vector<LinkRecord> links)
      : socket_(std::move(socket)), links_(std::move(links)) {}

  std::vector<NetworkDevice> Devices() override {
    std::vector<NetworkDevice> devices;
    for (size_t i = 0; i < links_.size(); ++i) {
      devices.push_back(links_[i].device);
      devices.back().index = i;
    }
    return devices;
  }

  DeviceRemoval Remove(size_t index) override {
    DeviceRemoval removal;
    if (index >= links_.size()) {
      removal.error = static_cast<uint32_t>(ENODEV);
      return removal;
    }
    const uint32_t sequence = ++sequence_;
    if (!SendRequest(socket_.Get(), RTM_DELLINK, NLM_F_ACK, links_[index].index, sequence)) {
      removal.error = static_cast<uint32_t>(errno);
      return removal;
    }
    removal.error = ReadAcknowledgement(socket_.Get(), sequence);
    if (removal.error == 0) {
      removal.outcome = DeviceRemoval::Outcome::kRemoved;
    }
    return removal;
  }

 private:
  FileDescriptor socket_;
  std::vector<LinkRecord> links_;
  uint32_t sequence_ = 1;
};

class NetlinkDevices final : public NetworkDevices {
 public:
  DeviceSetOpening OpenPresent() override {
    DeviceSetOpening opening;
    FileDescriptor socket(::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE));
    if (!socket.Valid()) {
      opening.error = static_cast<uint32_t>(errno);
      return opening;
    }
    constexpr uint32_t kSequence = 1;
    std::vector<LinkRecord> links;
    if (!SendRequest(socket.Get(), RTM_GETLINK, NLM_F_DUMP, 0, kSequence)) {
      opening.error = static_cast<uint32_t>(errno);
      return opening;
    }
    if (!ReadLinks(socket.Get(), kSequence, links, opening.error)) {
      return opening;
    }
    opening.set = std::make_unique<LinkSet>(std::move(socket), std::move(links));
    return opening;
  }
};

}  // namespace

NetworkDevices& SystemNetworkDevices() {
  static NetlinkDevices devices;
  return devices;
}

}  // namespace orvo_vpn_win_svc::platform
