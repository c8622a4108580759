#include "platform/ip_helper.h"

namespace orvo_vpn_win_svc::platform {

IpAddress IpAddress::Ipv4(uint32_t host_order) {
  IpAddress address;
  address.family = Family::kIpv4;
  address.bytes[0] = static_cast<uint8_t>(host_order >> 24);
  address.bytes[1] = static_cast<uint8_t>(host_order >> 16);
  address.bytes[2] = static_cast<uint8_t>(host_order >> 8);
  address.bytes[3] = static_cast<uint8_t>(host_order);
  return address;
}

}  // namespace orvo_vpn_win_svc::platform
