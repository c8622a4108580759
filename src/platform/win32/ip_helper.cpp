#include "platform/ip_helper.h"

// Winsock's headers go before windows.h, and iphlpapi's after both.
#include <winsock2.h>
#include <ws2ipdef.h>
#include <ws2tcpip.h>

#include <windows.h>

#include <iphlpapi.h>
#include <netioapi.h>

#include <cstring>
#include <memory>

// The IP Helper calls over iphlpapi. Results are the functions' own error codes. Rows are
// always prepared with the Initialize* functions before the portable fields are copied in, so
// every field this seam does not carry keeps the system's default.
namespace orvo_vpn_win_svc::platform {
namespace {

static_assert(sizeof(NET_LUID) == sizeof(InterfaceLuid));

// Frees a table the iphlpapi functions allocated.
struct MibTableFree {
  void operator()(void* table) const { FreeMibTable(table); }
};
template <typename Table>
using MibTable = std::unique_ptr<Table, MibTableFree>;

SOCKADDR_INET ToSockaddr(const IpAddress& address) {
  SOCKADDR_INET converted{};
  if (address.family == IpAddress::Family::kIpv4) {
    converted.Ipv4.sin_family = AF_INET;
    std::memcpy(&converted.Ipv4.sin_addr, address.bytes.data(), 4);
  } else {
    converted.Ipv6.sin6_family = AF_INET6;
    std::memcpy(&converted.Ipv6.sin6_addr, address.bytes.data(), 16);
  }
  return converted;
}

IpAddress FromSockaddr(const SOCKADDR_INET& address) {
  IpAddress converted;
  if (address.si_family == AF_INET6) {
    converted.family = IpAddress::Family::kIpv6;
    std::memcpy(converted.bytes.data(), &address.Ipv6.sin6_addr, 16);
  } else {
    converted.family = IpAddress::Family::kIpv4;
    std::memcpy(converted.bytes.data(), &address.Ipv4.sin_addr, 4);
  }
  return converted;
}

NET_LUID ToNetLuid(InterfaceLuid luid) {
  NET_LUID converted{};
  converted.Value = luid;
  return converted;
}

ForwardRow FromForwardRow(const MIB_IPFORWARD_ROW2& row) {
  ForwardRow converted;
  converted.luid = row.InterfaceLuid.Value;
  converted.destination = FromSockaddr(row.DestinationPrefix.Prefix);
  converted.prefix_length = row.DestinationPrefix.PrefixLength;
  converted.next_hop = FromSockaddr(row.NextHop);
  converted.metric = row.Metric;
  converted.protocol = static_cast<uint32_t>(row.Protocol);
  converted.valid_lifetime = row.ValidLifetime;
  converted.preferred_lifetime = row.PreferredLifetime;
  return converted;
}

MIB_IPFORWARD_ROW2 ToForwardRow(const ForwardRow& row) {
  MIB_IPFORWARD_ROW2 converted;
  InitializeIpForwardEntry(&converted);
  converted.InterfaceLuid = ToNetLuid(row.luid);
  converted.DestinationPrefix.Prefix = ToSockaddr(row.destination);
  converted.DestinationPrefix.PrefixLength = row.prefix_length;
  // An on-link next hop is the unspecified address of the destination's family.
  converted.NextHop = ToSockaddr(row.next_hop == IpAddress{row.destination.family, {}}
                                     ? IpAddress{row.destination.family, {}}
                                     : row.next_hop);
  converted.Metric = row.metric;
  converted.Protocol = static_cast<NL_ROUTE_PROTOCOL>(row.protocol);
  converted.ValidLifetime = row.valid_lifetime;
  converted.PreferredLifetime = row.preferred_lifetime;
  return converted;
}

MIB_UNICASTIPADDRESS_ROW ToAddressRow(const UnicastAddressRow& row) {
  MIB_UNICASTIPADDRESS_ROW converted;
  InitializeUnicastIpAddressEntry(&converted);
  converted.InterfaceLuid = ToNetLuid(row.luid);
  converted.Address = ToSockaddr(row.address);
  converted.OnLinkPrefixLength = row.prefix_length;
  converted.ValidLifetime = row.valid_lifetime;
  converted.PreferredLifetime = row.preferred_lifetime;
  return converted;
}

// The IPv4 interface entry of `luid`, read with GetIpInterfaceEntry.
DWORD ReadIpv4Interface(InterfaceLuid luid, MIB_IPINTERFACE_ROW& row) {
  InitializeIpInterfaceEntry(&row);
  row.Family = AF_INET;
  row.InterfaceLuid = ToNetLuid(luid);
  return GetIpInterfaceEntry(&row);
}

class IphlpapiIpHelper final : public IpHelper {
 public:
  uint32_t GetInterfaceTable(std::vector<InterfaceRow>& rows) override {
    MIB_IF_TABLE2* raw = nullptr;
    const DWORD error = GetIfTable2(&raw);
    const MibTable<MIB_IF_TABLE2> table(raw);
    if (error != NO_ERROR) {
      return error;
    }
    rows.clear();
    for (ULONG i = 0; i < table->NumEntries; ++i) {
      const MIB_IF_ROW2& row = table->Table[i];
      InterfaceRow converted;
      converted.luid = row.InterfaceLuid.Value;
      converted.index = row.InterfaceIndex;
      converted.alias = std::wstring(row.Alias, wcsnlen(row.Alias, IF_MAX_STRING_SIZE + 1));
      converted.description =
          std::wstring(row.Description, wcsnlen(row.Description, IF_MAX_STRING_SIZE + 1));
      converted.oper_status = static_cast<int32_t>(row.OperStatus);
      rows.push_back(std::move(converted));
    }
    return NO_ERROR;
  }

  uint32_t CreateUnicastAddress(const UnicastAddressRow& row) override {
    const MIB_UNICASTIPADDRESS_ROW converted = ToAddressRow(row);
    return CreateUnicastIpAddressEntry(&converted);
  }

  uint32_t DeleteUnicastAddress(const UnicastAddressRow& row) override {
    const MIB_UNICASTIPADDRESS_ROW converted = ToAddressRow(row);
    return DeleteUnicastIpAddressEntry(&converted);
  }

  uint32_t GetInterfaceMtu(InterfaceLuid luid, uint32_t& mtu) override {
    MIB_IPINTERFACE_ROW row;
    const DWORD error = ReadIpv4Interface(luid, row);
    if (error == NO_ERROR) {
      mtu = row.NlMtu;
    }
    return error;
  }

  uint32_t SetInterfaceMtu(InterfaceLuid luid, uint32_t mtu) override {
    MIB_IPINTERFACE_ROW row;
    const DWORD error = ReadIpv4Interface(luid, row);
    if (error != NO_ERROR) {
      return error;
    }
    row.NlMtu = mtu;
    // GetIpInterfaceEntry fills in an IPv4 site prefix length that SetIpInterfaceEntry then
    // refuses (ERROR_INVALID_PARAMETER); it means nothing for IPv4 and must be 0.
    row.SitePrefixLength = 0;
    return SetIpInterfaceEntry(&row);
  }

  uint32_t GetBestRoute(const IpAddress& destination, ForwardRow& route) override {
    const SOCKADDR_INET target = ToSockaddr(destination);
    MIB_IPFORWARD_ROW2 best{};
    SOCKADDR_INET source{};
    const DWORD error = GetBestRoute2(nullptr, 0, nullptr, &target, 0, &best, &source);
    if (error == NO_ERROR) {
      route = FromForwardRow(best);
    }
    return error;
  }

  uint32_t GetForwardTable(IpAddress::Family family, std::vector<ForwardRow>& rows) override {
    MIB_IPFORWARD_TABLE2* raw = nullptr;
    const DWORD error =
        GetIpForwardTable2(family == IpAddress::Family::kIpv4 ? AF_INET : AF_INET6, &raw);
    const MibTable<MIB_IPFORWARD_TABLE2> table(raw);
    if (error != NO_ERROR) {
      return error;
    }
    rows.clear();
    for (ULONG i = 0; i < table->NumEntries; ++i) {
      rows.push_back(FromForwardRow(table->Table[i]));
    }
    return NO_ERROR;
  }

  uint32_t CreateForwardEntry(const ForwardRow& row) override {
    const MIB_IPFORWARD_ROW2 converted = ToForwardRow(row);
    return CreateIpForwardEntry2(&converted);
  }

  uint32_t DeleteForwardEntry(const ForwardRow& row) override {
    const MIB_IPFORWARD_ROW2 converted = ToForwardRow(row);
    return DeleteIpForwardEntry2(&converted);
  }
};

}  // namespace

std::shared_ptr<IpHelper> SystemIpHelper() {
  return std::make_shared<IphlpapiIpHelper>();
}

}  // namespace orvo_vpn_win_svc::platform
