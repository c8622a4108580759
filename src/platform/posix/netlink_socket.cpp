#include "platform/posix/netlink_socket.h"

#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>

namespace orvo_vpn_win_svc::platform {
namespace {

constexpr size_t Align(size_t size) {
  return (size + NLMSG_ALIGNTO - 1) & ~size_t{NLMSG_ALIGNTO - 1};
}

// Big enough for any message the kernel sends on a route socket (it sizes dump parts to at most
// 32 KiB); a larger one is reported rather than read cut short.
constexpr size_t kReceiveBufferSize = 64 * 1024;
// A dump the kernel keeps marking inconsistent is given up after this many attempts.
constexpr int kDumpAttempts = 5;

}  // namespace

NetlinkMessage::NetlinkMessage(uint16_t type, uint16_t flags) {
  nlmsghdr header{};
  header.nlmsg_type = type;
  header.nlmsg_flags = static_cast<uint16_t>(NLM_F_REQUEST | flags);
  Append(&header, sizeof(header));
}

void NetlinkMessage::AddAttribute(uint16_t type, const void* data, size_t size) {
  rtattr attribute{};
  attribute.rta_type = type;
  attribute.rta_len = static_cast<uint16_t>(Align(sizeof(rtattr)) + size);
  Append(&attribute, sizeof(attribute));
  Append(data, size);
}

void NetlinkMessage::AddFlags(uint16_t flags) {
  nlmsghdr header;
  std::memcpy(&header, bytes_.data(), sizeof(header));
  header.nlmsg_flags = static_cast<uint16_t>(header.nlmsg_flags | flags);
  std::memcpy(bytes_.data(), &header, sizeof(header));
}

std::span<const uint8_t> NetlinkMessage::Finish(uint32_t sequence) {
  const auto length = static_cast<uint32_t>(bytes_.size());
  std::memcpy(bytes_.data() + offsetof(nlmsghdr, nlmsg_len), &length, sizeof(length));
  std::memcpy(bytes_.data() + offsetof(nlmsghdr, nlmsg_seq), &sequence, sizeof(sequence));
  return bytes_;
}

void NetlinkMessage::Append(const void* data, size_t size) {
  const auto* first = static_cast<const uint8_t*>(data);
  bytes_.insert(bytes_.end(), first, first + size);
  bytes_.resize(Align(bytes_.size()), 0);
}

NetlinkSocket::NetlinkSocket()
    : socket_(::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE)) {
  if (!socket_.Valid()) {
    open_error_ = errno;
    return;
  }
  // The kernel answers at once; the limit only guards against waiting forever on a fault.
  timeval limit{5, 0};
  setsockopt(socket_.Get(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof(limit));
}

int NetlinkSocket::Request(NetlinkMessage& message, const NetlinkReplyVisitor& on_reply) {
  if (!socket_.Valid()) {
    return open_error_;
  }
  message.AddFlags(NLM_F_ACK);
  const uint32_t sequence = ++sequence_;
  if (const int error = Send(message, sequence)) {
    return error;
  }
  std::vector<OwnedReply> replies;
  bool interrupted = false;
  const int error = ReadAnswers(sequence, false, replies, interrupted);
  if (on_reply) {
    for (const OwnedReply& reply : replies) {
      on_reply(NetlinkReply{reply.type, reply.payload});
    }
  }
  return error;
}

int NetlinkSocket::Dump(NetlinkMessage& message, const NetlinkReplyVisitor& on_reply) {
  if (!socket_.Valid()) {
    return open_error_;
  }
  message.AddFlags(NLM_F_DUMP);
  for (int attempt = 0; attempt < kDumpAttempts; ++attempt) {
    const uint32_t sequence = ++sequence_;
    if (const int error = Send(message, sequence)) {
      return error;
    }
    std::vector<OwnedReply> replies;
    bool interrupted = false;
    if (const int error = ReadAnswers(sequence, true, replies, interrupted)) {
      return error;
    }
    if (interrupted) {
      continue;
    }
    for (const OwnedReply& reply : replies) {
      on_reply(NetlinkReply{reply.type, reply.payload});
    }
    return 0;
  }
  return EAGAIN;
}

int NetlinkSocket::Send(NetlinkMessage& message, uint32_t sequence) {
  const std::span<const uint8_t> bytes = message.Finish(sequence);
  sockaddr_nl kernel{};
  kernel.nl_family = AF_NETLINK;
  for (;;) {
    const ssize_t sent = sendto(socket_.Get(), bytes.data(), bytes.size(), 0,
                                reinterpret_cast<const sockaddr*>(&kernel), sizeof(kernel));
    if (sent >= 0) {
      return 0;
    }
    if (errno != EINTR) {
      return errno;
    }
  }
}

int NetlinkSocket::ReadAnswers(uint32_t sequence, bool dump, std::vector<OwnedReply>& replies,
                               bool& interrupted) {
  std::vector<uint8_t> buffer(kReceiveBufferSize);
  for (;;) {
    const ssize_t received = recv(socket_.Get(), buffer.data(), buffer.size(), MSG_TRUNC);
    if (received < 0) {
      if (errno == EINTR) {
        continue;
      }
      return errno == EAGAIN ? ETIMEDOUT : errno;
    }
    const auto end = static_cast<size_t>(received);
    if (end > buffer.size()) {
      return EMSGSIZE;
    }
    size_t offset = 0;
    while (end - offset >= sizeof(nlmsghdr)) {
      nlmsghdr header;
      std::memcpy(&header, buffer.data() + offset, sizeof(header));
      if (header.nlmsg_len < sizeof(nlmsghdr) || header.nlmsg_len > end - offset) {
        break;
      }
      const size_t payload_offset = offset + Align(sizeof(nlmsghdr));
      const std::span<const uint8_t> payload(buffer.data() + payload_offset,
                                             offset + header.nlmsg_len - payload_offset);
      offset += Align(header.nlmsg_len);
      if (header.nlmsg_seq != sequence) {
        continue;  // a late answer to an earlier request
      }
      if ((header.nlmsg_flags & NLM_F_DUMP_INTR) != 0) {
        interrupted = true;
      }
      if (header.nlmsg_type == NLMSG_ERROR) {
        int error = EPROTO;
        if (payload.size() >= sizeof(int)) {
          std::memcpy(&error, payload.data(), sizeof(error));
          error = -error;
        }
        return error;
      }
      if (header.nlmsg_type == NLMSG_DONE) {
        if (dump) {
          return 0;
        }
        continue;
      }
      replies.push_back({header.nlmsg_type, {payload.begin(), payload.end()}});
    }
  }
}

std::span<const uint8_t> AttributesAfter(std::span<const uint8_t> payload, size_t header_size) {
  const size_t start = Align(header_size);
  return start >= payload.size() ? std::span<const uint8_t>() : payload.subspan(start);
}

void ForEachAttribute(std::span<const uint8_t> attributes,
                      const std::function<void(uint16_t, std::span<const uint8_t>)>& visit) {
  while (attributes.size() >= sizeof(rtattr)) {
    rtattr attribute;
    std::memcpy(&attribute, attributes.data(), sizeof(attribute));
    if (attribute.rta_len < sizeof(rtattr) || attribute.rta_len > attributes.size()) {
      return;
    }
    const size_t header = Align(sizeof(rtattr));
    visit(static_cast<uint16_t>(attribute.rta_type & NLA_TYPE_MASK),
          attributes.subspan(header, attribute.rta_len - header));
    attributes = attributes.subspan(std::min(Align(attribute.rta_len), attributes.size()));
  }
}

std::string AttributeText(std::span<const uint8_t> data) {
  std::string text(reinterpret_cast<const char*>(data.data()), data.size());
  const size_t zero = text.find('\0');
  return zero == std::string::npos ? text : text.substr(0, zero);
}

uint32_t AttributeU32(std::span<const uint8_t> data) {
  uint32_t value = 0;
  if (data.size() >= sizeof(value)) {
    std::memcpy(&value, data.data(), sizeof(value));
  }
  return value;
}

}  // namespace orvo_vpn_win_svc::platform
