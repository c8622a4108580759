#include "support/ipv4_udp_packet.h"

namespace orvo_test {
namespace {

void Put16(std::vector<uint8_t>& bytes, size_t at, uint32_t value) {
  bytes[at] = static_cast<uint8_t>(value >> 8);
  bytes[at + 1] = static_cast<uint8_t>(value);
}

uint16_t Get16(const uint8_t* bytes) {
  return static_cast<uint16_t>(bytes[0] << 8 | bytes[1]);
}

}  // namespace

std::vector<uint8_t> BuildIpv4UdpPacket(Ipv4Address source, uint16_t source_port,
                                        Ipv4Address destination, uint16_t destination_port,
                                        const std::string& payload) {
  const size_t total = 20 + 8 + payload.size();
  std::vector<uint8_t> packet(total, 0);
  packet[0] = 0x45;  // version 4, 20-byte header
  Put16(packet, 2, static_cast<uint32_t>(total));
  packet[8] = 64;  // time to live
  packet[9] = 17;  // UDP
  std::copy(source.begin(), source.end(), packet.begin() + 12);
  std::copy(destination.begin(), destination.end(), packet.begin() + 16);
  uint32_t sum = 0;
  for (size_t i = 0; i < 20; i += 2) {
    sum += Get16(packet.data() + i);
  }
  while (sum >> 16) {
    sum = (sum & 0xFFFF) + (sum >> 16);
  }
  Put16(packet, 10, ~sum & 0xFFFF);
  Put16(packet, 20, source_port);
  Put16(packet, 22, destination_port);
  Put16(packet, 24, static_cast<uint32_t>(8 + payload.size()));
  std::copy(payload.begin(), payload.end(), packet.begin() + 28);
  return packet;
}

std::optional<Ipv4UdpView> ReadIpv4UdpPacket(const uint8_t* packet, uint32_t size) {
  if (packet == nullptr || size < 28 || (packet[0] >> 4) != 4 || packet[9] != 17) {
    return std::nullopt;
  }
  const size_t header = static_cast<size_t>(packet[0] & 0x0F) * 4;
  const size_t total = Get16(packet + 2);
  if (header < 20 || total > size || total < header + 8) {
    return std::nullopt;
  }
  Ipv4UdpView view;
  std::copy(packet + 12, packet + 16, view.source.begin());
  std::copy(packet + 16, packet + 20, view.destination.begin());
  view.source_port = Get16(packet + header);
  view.destination_port = Get16(packet + header + 2);
  view.payload.assign(reinterpret_cast<const char*>(packet + header + 8), total - header - 8);
  return view;
}

}  // namespace orvo_test
