#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace orvo_test {

using Ipv4Address = std::array<uint8_t, 4>;

// An IPv4 packet carrying one UDP datagram, as a TUN device carries it: header checksum set,
// UDP checksum 0 (none).
std::vector<uint8_t> BuildIpv4UdpPacket(Ipv4Address source, uint16_t source_port,
                                        Ipv4Address destination, uint16_t destination_port,
                                        const std::string& payload);

struct Ipv4UdpView {
  Ipv4Address source{};
  uint16_t source_port = 0;
  Ipv4Address destination{};
  uint16_t destination_port = 0;
  std::string payload;
};

// The UDP datagram in an IPv4 packet; nothing for any other packet.
std::optional<Ipv4UdpView> ReadIpv4UdpPacket(const uint8_t* packet, uint32_t size);

}  // namespace orvo_test
