#pragma once

#include <cstdint>
#include <cstring>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "platform/posix/file_descriptor.h"

namespace orvo_vpn_win_svc::platform {

// One rtnetlink request under construction: the netlink header, the family's own header
// (ifinfomsg, ifaddrmsg, rtmsg) and attributes, each padded to netlink's 4-byte alignment.
class NetlinkMessage {
 public:
  NetlinkMessage(uint16_t type, uint16_t flags);

  template <typename FamilyHeader>
  void AppendHeader(const FamilyHeader& header) {
    Append(&header, sizeof(header));
  }
  void AddAttribute(uint16_t type, const void* data, size_t size);
  void AddU32Attribute(uint16_t type, uint32_t value) { AddAttribute(type, &value, sizeof(value)); }

  // Adds NLM_F_* flags to the header.
  void AddFlags(uint16_t flags);
  // The finished bytes with length and sequence number filled in.
  std::span<const uint8_t> Finish(uint32_t sequence);

 private:
  void Append(const void* data, size_t size);

  std::vector<uint8_t> bytes_;
};

// One message of the kernel's answer: its type and what follows the netlink header.
struct NetlinkReply {
  uint16_t type = 0;
  std::span<const uint8_t> payload;
};

using NetlinkReplyVisitor = std::function<void(const NetlinkReply&)>;

// A route netlink socket in the network namespace of the thread that made it. Every operation
// returns 0 or a Linux errno value. One request at a time: a socket is not shared by threads.
class NetlinkSocket {
 public:
  NetlinkSocket();

  // Sends `message` asking for an acknowledgement and waits for it. Answers of the request that
  // arrive before it (a link or route the kernel describes) go to `on_reply`.
  int Request(NetlinkMessage& message, const NetlinkReplyVisitor& on_reply = nullptr);
  // Sends `message` as a dump request and hands every answer to `on_reply` once the whole dump
  // has arrived. A dump the kernel marks inconsistent (the table changed under it) is asked for
  // again, so the visitor only ever sees one consistent table.
  int Dump(NetlinkMessage& message, const NetlinkReplyVisitor& on_reply);

 private:
  struct OwnedReply {
    uint16_t type;
    std::vector<uint8_t> payload;
  };
  // Reads answers of `sequence` until the acknowledgement (or the end of a dump).
  int ReadAnswers(uint32_t sequence, bool dump, std::vector<OwnedReply>& replies,
                  bool& interrupted);
  int Send(NetlinkMessage& message, uint32_t sequence);

  FileDescriptor socket_;
  int open_error_ = 0;
  uint32_t sequence_ = 0;
};

// Copies a family header out of the front of a payload; false when the payload is too short.
template <typename FamilyHeader>
bool ReadFamilyHeader(std::span<const uint8_t> payload, FamilyHeader& header) {
  if (payload.size() < sizeof(header)) {
    return false;
  }
  std::memcpy(&header, payload.data(), sizeof(header));
  return true;
}

// The attributes that follow a family header of `header_size` bytes.
std::span<const uint8_t> AttributesAfter(std::span<const uint8_t> payload, size_t header_size);

// Calls `visit(type, data)` for every well-formed attribute; a malformed one ends the walk.
void ForEachAttribute(std::span<const uint8_t> attributes,
                      const std::function<void(uint16_t, std::span<const uint8_t>)>& visit);

// An attribute's text, up to its terminating zero.
std::string AttributeText(std::span<const uint8_t> data);
// An attribute's 32-bit value; 0 when it is shorter.
uint32_t AttributeU32(std::span<const uint8_t> data);

}  // namespace orvo_vpn_win_svc::platform
