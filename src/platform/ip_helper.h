#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace orvo_vpn_win_svc::platform {

// A network interface's LUID: one 64-bit value (NET_LUID on Windows; on Linux derived from the
// interface index, see posix/linux_luid.h).
using InterfaceLuid = uint64_t;

// An IPv4 or IPv6 address; IPv4 uses the first 4 bytes, in network order.
struct IpAddress {
  enum class Family : uint8_t { kIpv4, kIpv6 };
  Family family = Family::kIpv4;
  std::array<uint8_t, 16> bytes{};

  static IpAddress Ipv4(uint32_t host_order);
  bool operator==(const IpAddress&) const = default;
};

// IfOperStatusUp, the only operational status the service acts on.
inline constexpr int32_t kIfOperStatusUp = 1;
// Lifetime meaning "infinite" for addresses and routes.
inline constexpr uint32_t kInfiniteLifetime = 0xFFFFFFFF;
// Error code of a call that succeeded (NO_ERROR).
inline constexpr uint32_t kIpHelperOk = 0;

// One row of the interface table (GetIfTable2).
struct InterfaceRow {
  InterfaceLuid luid = 0;
  uint32_t index = 0;
  std::wstring alias;
  std::wstring description;
  int32_t oper_status = 0;
};

// A unicast address on an interface (MIB_UNICASTIPADDRESS_ROW).
struct UnicastAddressRow {
  InterfaceLuid luid = 0;
  IpAddress address;
  uint8_t prefix_length = 0;
  uint32_t valid_lifetime = kInfiniteLifetime;
  uint32_t preferred_lifetime = kInfiniteLifetime;
  bool operator==(const UnicastAddressRow&) const = default;
};

// A route (MIB_IPFORWARD_ROW2).
struct ForwardRow {
  InterfaceLuid luid = 0;
  IpAddress destination;
  uint8_t prefix_length = 0;
  IpAddress next_hop;  // 0.0.0.0 for an on-link route
  uint32_t metric = 0;
  uint32_t protocol = 0;
  uint32_t valid_lifetime = kInfiniteLifetime;
  uint32_t preferred_lifetime = kInfiniteLifetime;
  bool operator==(const ForwardRow&) const = default;
};

// The IP Helper calls the runtime makes. Every call returns the system's error code (0 on
// success). Windows: iphlpapi, its error codes. Linux: rtnetlink in the calling thread's network
// namespace, errno values; LUIDs are those of posix/linux_luid.h.
class IpHelper {
 public:
  virtual ~IpHelper() = default;

  virtual uint32_t GetInterfaceTable(std::vector<InterfaceRow>& rows) = 0;
  virtual uint32_t CreateUnicastAddress(const UnicastAddressRow& row) = 0;
  virtual uint32_t DeleteUnicastAddress(const UnicastAddressRow& row) = 0;
  // The IPv4 MTU of an interface (GetIpInterfaceEntry / SetIpInterfaceEntry, NlMtu).
  virtual uint32_t GetInterfaceMtu(InterfaceLuid luid, uint32_t& mtu) = 0;
  virtual uint32_t SetInterfaceMtu(InterfaceLuid luid, uint32_t mtu) = 0;
  // GetBestRoute2 for `destination`: no source address, no interface restriction.
  virtual uint32_t GetBestRoute(const IpAddress& destination, ForwardRow& route) = 0;
  // GetIpForwardTable2 for one family, in the system's order.
  virtual uint32_t GetForwardTable(IpAddress::Family family, std::vector<ForwardRow>& rows) = 0;
  virtual uint32_t CreateForwardEntry(const ForwardRow& row) = 0;
  virtual uint32_t DeleteForwardEntry(const ForwardRow& row) = 0;
};

std::shared_ptr<IpHelper> SystemIpHelper();

}  // namespace orvo_vpn_win_svc::platform
