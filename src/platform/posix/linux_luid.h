#pragma once

#include <cstdint>
#include <limits>

namespace orvo_vpn_win_svc::platform {

// How a Linux network interface is named by a NET_LUID, the 64-bit interface identifier that
// crosses the seam. Both libwintun.so (WintunGetAdapterLUID) and the rtnetlink side of the IP
// helper seam use these two functions, so a LUID read from the adapter equals the LUID of a
// route or address row on the same link.
//
//   bits 48-63  interface type: always 53 (IF_TYPE_PROP_VIRTUAL), for every Linux link
//   bits 32-47  zero
//   bits  0-31  the interface index (ifindex, 1 to 2^31-1)
//
// The type is the same for every link on purpose: a route row only carries the output
// interface's index, and the LUID must follow from that alone, without asking the link's kind.
// The index takes 32 bits rather than Windows' 24-bit NetLuidIndex field so that every Linux
// index maps, and maps back. Nothing decodes these bits except this header.
inline constexpr uint16_t kLinuxLuidInterfaceType = 53;  // IF_TYPE_PROP_VIRTUAL
inline constexpr int kLinuxLuidTypeShift = 48;

// The LUID of the interface with this index; 0 (no interface) for an index below 1.
constexpr uint64_t LuidFromInterfaceIndex(int index) {
  if (index < 1) {
    return 0;
  }
  return (uint64_t{kLinuxLuidInterfaceType} << kLinuxLuidTypeShift) | static_cast<uint32_t>(index);
}

// The interface index a LUID of LuidFromInterfaceIndex names; 0 for any other value.
constexpr int InterfaceIndexFromLuid(uint64_t luid) {
  if ((luid >> kLinuxLuidTypeShift) != kLinuxLuidInterfaceType) {
    return 0;
  }
  const uint64_t rest = luid & ((uint64_t{1} << kLinuxLuidTypeShift) - 1);
  if (rest == 0 || rest > static_cast<uint64_t>(std::numeric_limits<int>::max())) {
    return 0;
  }
  return static_cast<int>(rest);
}

static_assert(LuidFromInterfaceIndex(7) == 0x0035000000000007);
static_assert(InterfaceIndexFromLuid(LuidFromInterfaceIndex(0x7FFFFFFF)) == 0x7FFFFFFF);

}  // namespace orvo_vpn_win_svc::platform
