// TEST EQUIPMENT, not the IP Helper: an iphlpapi.dll for Wine, which lacks the IP Helper's write
// calls. The interface, address and route tables are a FakeIpHelper's, so a route the service
// makes is then in GetIpForwardTable2 and GetBestRoute2, and every call is recorded in the fake's
// words. Each MIB_* argument is checked as Microsoft documents it before it is decoded; a call
// the stand-in refuses is recorded as "refused <function>: <why>". Nothing reaches the real
// network. The machine starts as:
//   Loopback Pseudo-Interface 1  LUID 0x18000000000000 (IF_TYPE_SOFTWARE_LOOPBACK)  index 1
//   Ethernet                     LUID 0x6000001000000  (IF_TYPE_ETHERNET_CSMACD)    index 2
//   192.0.2.0/24 on the Ethernet, and the default route through 192.0.2.1 there.
// No route leads to loopback, so a server on 127.0.0.1 takes the default route as a remote one
// would. Control exports only this DLL has: StandInAddInterface and StandInText.
#include <winsock2.h>
#include <ws2ipdef.h>
#include <ws2tcpip.h>

#include <windows.h>

#include <iphlpapi.h>
#include <netioapi.h>

#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

#include "fakes/fake_ip_helper.h"

namespace {

using orvo_test::FakeIpHelper;
using orvo_vpn_win_svc::platform::ForwardRow;
using orvo_vpn_win_svc::platform::InterfaceLuid;
using orvo_vpn_win_svc::platform::InterfaceRow;
using orvo_vpn_win_svc::platform::IpAddress;
using orvo_vpn_win_svc::platform::UnicastAddressRow;

// What the Initialize* functions leave where the documentation says "an illegal value".
constexpr UCHAR kIllegalPrefixLength = 255;
constexpr ULONG kIllegalMetric = ~0u;
constexpr auto kIllegalProtocol = static_cast<NL_ROUTE_PROTOCOL>(0);  // the enumeration starts at 1

FakeIpHelper& Machine() {
  static FakeIpHelper& machine = *[] {
    auto* fake = new FakeIpHelper();  // never destroyed: no unload race
    fake->AddInterface({0x18000000000000, 1, L"Loopback Pseudo-Interface 1",
                        L"Software Loopback Interface 1", 1}, 0xFFFFFFFF);
    fake->AddInterface({0x6000001000000, 2, L"Ethernet", L"Intel(R) PRO/1000 MT", 1}, 1500);
    fake->AddRoute(FakeIpHelper::ParseRoute(
        "192.0.2.0/24 via 0.0.0.0 if 0x6000001000000 metric 0 proto 2"));
    fake->AddRoute(FakeIpHelper::ParseRoute(
        "0.0.0.0/0 via 192.0.2.1 if 0x6000001000000 metric 0 proto 3"));
    return fake;
  }();
  return machine;
}

DWORD Refuse(const char* function, const std::string& why, DWORD code) {
  Machine().Note("refused " + std::string(function) + ": " + why);
  return code;
}

bool Decode(const SOCKADDR_INET& from, IpAddress& to) {
  to.family = from.si_family == AF_INET6 ? IpAddress::Family::kIpv6 : IpAddress::Family::kIpv4;
  to.bytes = {};
  if (from.si_family == AF_INET6) {
    std::memcpy(to.bytes.data(), &from.Ipv6.sin6_addr, 16);
  } else {
    std::memcpy(to.bytes.data(), &from.Ipv4.sin_addr, 4);
  }
  return from.si_family == AF_INET || from.si_family == AF_INET6;
}

SOCKADDR_INET Encode(const IpAddress& from) {
  SOCKADDR_INET to{};
  to.si_family = from.family == IpAddress::Family::kIpv6 ? AF_INET6 : AF_INET;
  std::memcpy(to.si_family == AF_INET6 ? static_cast<void*>(&to.Ipv6.sin6_addr)
                                       : static_cast<void*>(&to.Ipv4.sin_addr),
              from.bytes.data(), to.si_family == AF_INET6 ? 16 : 4);
  return to;
}

// The interface a row names by its LUID, or when that is 0 by its index: 0 when it names none
// (ERROR_INVALID_PARAMETER), `unknown` as the error when no such interface exists.
DWORD Resolve(const char* function, NET_LUID luid, NET_IFINDEX index, DWORD unknown,
              InterfaceLuid& found) {
  if (luid.Value == 0 && index == 0) {
    return Refuse(function, "neither InterfaceLuid nor InterfaceIndex", ERROR_INVALID_PARAMETER);
  }
  const auto row = Machine().Interface(luid.Value, index);
  found = row ? row->luid : 0;
  return row ? NO_ERROR : Refuse(function, "no such interface", unknown);
}

DWORD DecodeAddress(const char* function, const MIB_UNICASTIPADDRESS_ROW* row, bool create,
                    UnicastAddressRow& decoded) {
  if (row == nullptr) {
    return Refuse(function, "no row", ERROR_INVALID_PARAMETER);
  }
  const UCHAR bits = row->Address.si_family == AF_INET6 ? 128 : 32;
  const bool known = Decode(row->Address, decoded.address);
  const uint8_t first = decoded.address.bytes[0];
  if (!known || (bits == 32 ? first == 0 || first >= 224
                            : first == 0xFF || decoded.address == IpAddress{IpAddress::Family::kIpv6, {}})) {
    return Refuse(function, "Address is no unicast IPv4 or IPv6 address", ERROR_INVALID_PARAMETER);
  }
  if (row->OnLinkPrefixLength > bits && row->OnLinkPrefixLength != kIllegalPrefixLength) {
    return Refuse(function, "OnLinkPrefixLength " + std::to_string(row->OnLinkPrefixLength),
                  ERROR_INVALID_PARAMETER);
  }
  // 255 asks for the address's own length.
  decoded.prefix_length = row->OnLinkPrefixLength == kIllegalPrefixLength ? bits
                                                                          : row->OnLinkPrefixLength;
  decoded.valid_lifetime = row->ValidLifetime;
  decoded.preferred_lifetime = row->PreferredLifetime;
  const bool prefix_unchanged = row->PrefixOrigin == IpPrefixOriginUnchanged;
  if (create && (row->ValidLifetime < row->PreferredLifetime ||
                 prefix_unchanged != (row->SuffixOrigin == IpSuffixOriginUnchanged) ||
                 (row->PrefixOrigin > IpPrefixOriginRouterAdvertisement && !prefix_unchanged) ||
                 (row->SuffixOrigin > IpSuffixOriginRandom && !prefix_unchanged))) {
    return Refuse(function, "lifetimes or origins", ERROR_INVALID_PARAMETER);
  }
  return Resolve(function, row->InterfaceLuid, row->InterfaceIndex, ERROR_NOT_FOUND, decoded.luid);
}

DWORD DecodeRoute(const char* function, const MIB_IPFORWARD_ROW2* row, bool create,
                  ForwardRow& decoded) {
  if (row == nullptr) {
    return Refuse(function, "no row", ERROR_INVALID_PARAMETER);
  }
  const IP_ADDRESS_PREFIX& prefix = row->DestinationPrefix;
  if (!Decode(prefix.Prefix, decoded.destination) ||
      prefix.PrefixLength > (prefix.Prefix.si_family == AF_INET6 ? 128 : 32)) {
    return Refuse(function, "DestinationPrefix", ERROR_INVALID_PARAMETER);
  }
  if (!Decode(row->NextHop, decoded.next_hop) || row->NextHop.si_family != prefix.Prefix.si_family) {
    return Refuse(function, "NextHop of another family", ERROR_INVALID_PARAMETER);
  }
  if (row->SitePrefixLength > prefix.PrefixLength && row->SitePrefixLength != kIllegalPrefixLength) {
    return Refuse(function, "SitePrefixLength beyond the prefix", ERROR_INVALID_PARAMETER);
  }
  if (create && (row->PreferredLifetime > row->ValidLifetime || row->Metric == kIllegalMetric ||
                 row->Protocol == kIllegalProtocol)) {
    return Refuse(function, "lifetimes, Metric or Protocol", ERROR_INVALID_PARAMETER);
  }
  decoded.prefix_length = prefix.PrefixLength;
  decoded.metric = row->Metric;
  decoded.protocol = static_cast<uint32_t>(row->Protocol);
  decoded.valid_lifetime = row->ValidLifetime;
  decoded.preferred_lifetime = row->PreferredLifetime;
  return Resolve(function, row->InterfaceLuid, row->InterfaceIndex, ERROR_NOT_FOUND, decoded.luid);
}

void EncodeRoute(const ForwardRow& from, MIB_IPFORWARD_ROW2& to) {
  InitializeIpForwardEntry(&to);
  to.InterfaceLuid.Value = from.luid;
  to.InterfaceIndex = Machine().Interface(from.luid, 0).value_or(InterfaceRow{}).index;
  to.DestinationPrefix.Prefix = Encode(from.destination);
  to.DestinationPrefix.PrefixLength = from.prefix_length;
  to.NextHop = Encode(from.next_hop);
  to.SitePrefixLength = 0;
  to.ValidLifetime = from.valid_lifetime;
  to.PreferredLifetime = from.preferred_lifetime;
  to.Metric = from.metric;
  to.Protocol = static_cast<NL_ROUTE_PROTOCOL>(from.protocol);
}

// A table of `count` rows, allocated as Wine's iphlpapi allocates the tables of the functions
// forwarded to it, so that one FreeMibTable frees both kinds.
template <typename Table, typename Row>
Table* NewTable(size_t count) {
  auto* table = static_cast<Table*>(
      HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof(Table) + count * sizeof(Row)));
  table->NumEntries = static_cast<ULONG>(count);
  return table;
}

// The IPv4 interface entry as GetIpInterfaceEntry gives it. Windows reports an IPv4 site prefix
// length that SetIpInterfaceEntry refuses back; so does the stand-in.
MIB_IPINTERFACE_ROW InterfaceEntry(const InterfaceRow& known, ULONG mtu) {
  MIB_IPINTERFACE_ROW row;
  InitializeIpInterfaceEntry(&row);
  row.Family = AF_INET;
  row.InterfaceLuid.Value = known.luid;
  row.InterfaceIndex = known.index;
  row.NlMtu = mtu;
  row.SitePrefixLength = 64;
  row.Connected = TRUE;
  return row;
}

// The IPv4 interface a MIB_IPINTERFACE_ROW names, with its entry (whose MTU is read when
// `read_mtu`, the row's own otherwise).
DWORD FindInterfaceEntry(const char* function, const MIB_IPINTERFACE_ROW* row, bool read_mtu,
                         MIB_IPINTERFACE_ROW& entry) {
  if (row == nullptr || (row->Family != AF_INET && row->Family != AF_INET6)) {
    return Refuse(function, "no row, or Family neither AF_INET nor AF_INET6",
                  ERROR_INVALID_PARAMETER);
  }
  InterfaceLuid luid = 0;
  uint32_t mtu = row->NlMtu;
  if (const DWORD error =
          Resolve(function, row->InterfaceLuid, row->InterfaceIndex, ERROR_FILE_NOT_FOUND, luid)) {
    return error;
  }
  if (row->Family == AF_INET6) {
    return Refuse(function, "no IPv6 on the interface", ERROR_NOT_FOUND);
  }
  const DWORD error = read_mtu ? Machine().GetInterfaceMtu(luid, mtu) : NO_ERROR;
  entry = InterfaceEntry(*Machine().Interface(luid, 0), mtu);
  return error;
}

}  // namespace

extern "C" {

VOID WINAPI InitializeIpForwardEntry(PMIB_IPFORWARD_ROW2 row) {
  std::memset(row, 0, sizeof *row);
  row->ValidLifetime = row->PreferredLifetime = 0xFFFFFFFF;
  row->Loopback = row->AutoconfigureAddress = row->Publish = row->Immortal = TRUE;
  row->SitePrefixLength = kIllegalPrefixLength;
  row->Metric = kIllegalMetric;
  row->Protocol = kIllegalProtocol;
}

VOID WINAPI InitializeUnicastIpAddressEntry(PMIB_UNICASTIPADDRESS_ROW row) {
  std::memset(row, 0, sizeof *row);
  row->PrefixOrigin = IpPrefixOriginUnchanged;
  row->SuffixOrigin = IpSuffixOriginUnchanged;
  row->OnLinkPrefixLength = kIllegalPrefixLength;
  row->ValidLifetime = row->PreferredLifetime = 0xFFFFFFFF;
}

VOID WINAPI InitializeIpInterfaceEntry(PMIB_IPINTERFACE_ROW row) {
  std::memset(row, 0, sizeof *row);
  row->Family = AF_UNSPEC;
}

DWORD WINAPI CreateUnicastIpAddressEntry(const MIB_UNICASTIPADDRESS_ROW* row) {
  UnicastAddressRow decoded;
  const DWORD error = DecodeAddress("CreateUnicastIpAddressEntry", row, true, decoded);
  return error ? error : Machine().CreateUnicastAddress(decoded);
}

DWORD WINAPI DeleteUnicastIpAddressEntry(const MIB_UNICASTIPADDRESS_ROW* row) {
  UnicastAddressRow decoded;
  const DWORD error = DecodeAddress("DeleteUnicastIpAddressEntry", row, false, decoded);
  return error ? error : Machine().DeleteUnicastAddress(decoded);
}

DWORD WINAPI CreateIpForwardEntry2(const MIB_IPFORWARD_ROW2* row) {
  ForwardRow decoded;
  const DWORD error = DecodeRoute("CreateIpForwardEntry2", row, true, decoded);
  return error ? error : Machine().CreateForwardEntry(decoded);
}

DWORD WINAPI DeleteIpForwardEntry2(const MIB_IPFORWARD_ROW2* row) {
  ForwardRow decoded;
  const DWORD error = DecodeRoute("DeleteIpForwardEntry2", row, false, decoded);
  return error ? error : Machine().DeleteForwardEntry(decoded);
}

DWORD WINAPI GetIpInterfaceEntry(PMIB_IPINTERFACE_ROW row) {
  MIB_IPINTERFACE_ROW entry;
  const DWORD error = FindInterfaceEntry("GetIpInterfaceEntry", row, true, entry);
  if (error == NO_ERROR) {
    std::memcpy(row, &entry, sizeof entry);
  }
  return error;
}

// Only the MTU is kept: every other member must be as GetIpInterfaceEntry gave it, apart from
// the site prefix length, which must be 0 for IPv4.
DWORD WINAPI SetIpInterfaceEntry(PMIB_IPINTERFACE_ROW row) {
  MIB_IPINTERFACE_ROW entry;
  if (const DWORD error = FindInterfaceEntry("SetIpInterfaceEntry", row, false, entry)) {
    return error;
  }
  if (row->SitePrefixLength != 0) {
    return Refuse("SetIpInterfaceEntry", "IPv4 SitePrefixLength not 0", ERROR_INVALID_PARAMETER);
  }
  entry.SitePrefixLength = 0;
  if (std::memcmp(&entry, row, sizeof entry) != 0) {
    return Refuse("SetIpInterfaceEntry", "members besides NlMtu changed", ERROR_NOT_SUPPORTED);
  }
  return Machine().SetInterfaceMtu(entry.InterfaceLuid.Value, row->NlMtu);
}

DWORD WINAPI GetIfTable2(PMIB_IF_TABLE2* table) {
  std::vector<InterfaceRow> rows;
  if (table == nullptr) {
    return Refuse("GetIfTable2", "no table", ERROR_INVALID_PARAMETER);
  }
  if (const DWORD error = Machine().GetInterfaceTable(rows)) {
    return error;
  }
  *table = NewTable<MIB_IF_TABLE2, MIB_IF_ROW2>(rows.size());
  for (size_t i = 0; i < rows.size(); ++i) {
    MIB_IF_ROW2& row = (*table)->Table[i];
    row.InterfaceLuid.Value = rows[i].luid;
    row.InterfaceIndex = rows[i].index;
    std::wcsncpy(row.Alias, rows[i].alias.c_str(), IF_MAX_STRING_SIZE);
    std::wcsncpy(row.Description, rows[i].description.c_str(), IF_MAX_STRING_SIZE);
    row.Type = static_cast<IFTYPE>(rows[i].luid >> 48);
    row.OperStatus = static_cast<IF_OPER_STATUS>(rows[i].oper_status);
    row.AdminStatus = NET_IF_ADMIN_STATUS_UP;
    row.MediaConnectState = MediaConnectStateConnected;
  }
  return NO_ERROR;
}

DWORD WINAPI GetIpForwardTable2(ADDRESS_FAMILY family, PMIB_IPFORWARD_TABLE2* table) {
  if (table == nullptr || (family != AF_INET && family != AF_INET6 && family != AF_UNSPEC)) {
    return Refuse("GetIpForwardTable2", "no table, or no such family", ERROR_INVALID_PARAMETER);
  }
  std::vector<ForwardRow> rows, more;
  DWORD error = NO_ERROR;
  if (family != AF_INET6) {
    error = Machine().GetForwardTable(IpAddress::Family::kIpv4, rows);
  }
  if (family != AF_INET && error == NO_ERROR) {
    error = Machine().GetForwardTable(IpAddress::Family::kIpv6, more);
    rows.insert(rows.end(), more.begin(), more.end());
  }
  if (error != NO_ERROR || rows.empty()) {
    return error ? error : ERROR_NOT_FOUND;
  }
  *table = NewTable<MIB_IPFORWARD_TABLE2, MIB_IPFORWARD_ROW2>(rows.size());
  for (size_t i = 0; i < rows.size(); ++i) {
    EncodeRoute(rows[i], (*table)->Table[i]);
  }
  return NO_ERROR;
}

// Without an interface or source address to keep to, as the service asks; a best source address
// is not modelled (it comes back as the unspecified address of the destination's family).
DWORD WINAPI GetBestRoute2(NET_LUID* luid, NET_IFINDEX index, const SOCKADDR_INET* source,
                           const SOCKADDR_INET* destination, ULONG /*sort_options*/,
                           PMIB_IPFORWARD_ROW2 best, SOCKADDR_INET* best_source) {
  IpAddress target;
  if (destination == nullptr || best == nullptr || best_source == nullptr ||
      !Decode(*destination, target)) {
    return Refuse("GetBestRoute2", "a missing argument or destination", ERROR_INVALID_PARAMETER);
  }
  if ((luid != nullptr && luid->Value != 0) || index != 0 ||
      (source != nullptr && source->si_family != AF_UNSPEC)) {
    return Refuse("GetBestRoute2", "an interface or source to keep to", ERROR_NOT_SUPPORTED);
  }
  ForwardRow route;
  const DWORD error = Machine().GetBestRoute(target, route);
  if (error == NO_ERROR) {
    EncodeRoute(route, *best);
    *best_source = Encode(IpAddress{target.family, {}});
  }
  return error;
}

VOID WINAPI FreeMibTable(PVOID table) {
  HeapFree(GetProcessHeap(), 0, table);
}

// Test control: adds (or replaces) an interface that is up, with its IPv4 MTU.
void StandInAddInterface(uint64_t luid, uint32_t index, const wchar_t* alias,
                                               uint32_t mtu) {
  Machine().AddInterface({luid, index, alias, alias, 1}, mtu);
}

// Test control: "calls" (the calls recorded since the last time, then forgotten) or "routes"
// (the route table), copied into `buffer` with a NUL; the length of the whole text.
size_t StandInText(const char* what, char* buffer, size_t size) {
  const std::string text = std::strcmp(what, "calls") == 0 ? Machine().TakeCalls()
                                                           : Machine().Routes();
  std::strncpy(buffer, text.c_str(), size);
  buffer[size - 1] = '\0';
  return text.size();
}

}  // extern "C"
