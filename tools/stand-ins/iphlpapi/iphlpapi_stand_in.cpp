// TEST EQUIPMENT, not the IP Helper: an iphlpapi.dll for Wine, which lacks the IP Helper's write
// calls. The interface, address and route tables are a FakeIpHelper's, so a route the service
// makes is then in GetIpForwardTable2 and GetBestRoute2, and every call is recorded in the fake's
// words. Each MIB_* argument is checked as Microsoft documents it before it is decoded; a call
// the stand-in refuses is recorded as "refused <function>: <why>". The machine has no IPv6 stack
// (IPv6 requests get the documented ERROR_NOT_SUPPORTED) and starts as:
//   Loopback Pseudo-Interface 1  LUID 0x18000000000000 (IF_TYPE_SOFTWARE_LOOPBACK)  index 1
//   Ethernet                     LUID 0x6000001000000  (IF_TYPE_ETHERNET_CSMACD)    index 2
//   ORVO VPN                     LUID 0x35000001000000 (IF_TYPE_PROP_VIRTUAL)       index 3
//   192.0.2.0/24 on the Ethernet, and the default route through 192.0.2.1 there.
// ORVO VPN is the adapter of the Wintun stand-in (tools/stand-ins/wintun/), which has no driver
// to make it appear, with MTU 1500. No route leads to loopback, so a server on 127.0.0.1 takes
// the default route as a remote one would. Control export only this DLL has: StandInText.
#include <winsock2.h>
#include <ws2ipdef.h>

#include <windows.h>

#include <iphlpapi.h>
#include <netioapi.h>

#include <algorithm>
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

#define CHECK(call)                                            \
  if (const DWORD check_code = (call); check_code != NO_ERROR) \
  return check_code

// What the Initialize* functions leave where the documentation says "an illegal value".
constexpr UCHAR kIllegalPrefixLength = 255;
constexpr ULONG kIllegalMetric = ~0u;
constexpr auto kIllegalProtocol = static_cast<NL_ROUTE_PROTOCOL>(0);  // the enumeration starts at 1

FakeIpHelper& Machine() {
  static FakeIpHelper& machine = *[] {
    auto* fake = new FakeIpHelper();  // never destroyed: no unload race
    fake->AddInterface(
        {0x18000000000000, 1, L"Loopback Pseudo-Interface 1", L"Software Loopback Interface 1", 1},
        0xFFFFFFFF);
    fake->AddInterface({0x6000001000000, 2, L"Ethernet", L"Intel(R) PRO/1000 MT", 1}, 1500);
    fake->AddInterface({0x35000001000000, 3, L"ORVO VPN", L"Wintun Userspace Tunnel", 1}, 1500);
    for (const char* route : {"192.0.2.0/24 via 0.0.0.0 if 0x6000001000000 metric 0 proto 2",
                              "0.0.0.0/0 via 192.0.2.1 if 0x6000001000000 metric 0 proto 3"}) {
      fake->AddRoute(FakeIpHelper::ParseRoute(route));
    }
    return fake;
  }();
  return machine;
}

// Records why a call is refused and gives its error code.
DWORD Refuse(const char* function, DWORD code, const char* why) {
  Machine().Note(std::string("refused ") + function + ": " + why);
  return code;
}

// IPv4 addresses only: the machine has no IPv6 stack.
DWORD CheckFamily(const char* function, ADDRESS_FAMILY family) {
  return family == AF_INET    ? NO_ERROR
         : family == AF_INET6 ? Refuse(function, ERROR_NOT_SUPPORTED, "no IPv6 stack")
                              : Refuse(function, ERROR_INVALID_PARAMETER, "no address family");
}

IpAddress Decode(const SOCKADDR_INET& from) {
  IpAddress to;
  std::memcpy(to.bytes.data(), &from.Ipv4.sin_addr, 4);
  return to;
}

SOCKADDR_INET Encode(const IpAddress& from) {
  SOCKADDR_INET to{};
  to.si_family = AF_INET;
  std::memcpy(&to.Ipv4.sin_addr, from.bytes.data(), 4);
  return to;
}

// The interface a row names by its LUID, or when that is 0 by its index; `unknown` is the
// function's error for an interface the machine does not have.
DWORD Resolve(const char* function, NET_LUID luid, NET_IFINDEX index, DWORD unknown,
              InterfaceLuid& found) {
  found = Machine().Interface(luid.Value, index).value_or(InterfaceRow{}).luid;
  return luid.Value == 0 && index == 0
             ? Refuse(function, ERROR_INVALID_PARAMETER, "neither InterfaceLuid nor InterfaceIndex")
         : found == 0 ? Refuse(function, unknown, "no such interface")
                      : NO_ERROR;
}

// An address row checked as CreateUnicastIpAddressEntry documents it (lifetimes and origins only
// when `create`), handed to `change`.
DWORD ChangeAddress(const char* function, const MIB_UNICASTIPADDRESS_ROW* row, bool create,
                    uint32_t (FakeIpHelper::*change)(const UnicastAddressRow&)) {
  CHECK(row ? CheckFamily(function, row->Address.si_family)
            : Refuse(function, ERROR_INVALID_PARAMETER, "no row"));
  const auto prefix = row->PrefixOrigin;
  const auto suffix = row->SuffixOrigin;
  const bool origins =
      (prefix == IpPrefixOriginUnchanged) == (suffix == IpSuffixOriginUnchanged) &&
      (prefix <= IpPrefixOriginRouterAdvertisement || prefix == IpPrefixOriginUnchanged) &&
      (suffix <= IpSuffixOriginRandom || suffix == IpSuffixOriginUnchanged);
  UnicastAddressRow decoded{0, Decode(row->Address), std::min<UCHAR>(row->OnLinkPrefixLength, 32),
                            row->ValidLifetime, row->PreferredLifetime};  // 255: 32, as documented
  const uint8_t first = decoded.address.bytes[0];
  if (first == 0 || first >= 224 ||
      (row->OnLinkPrefixLength > 32 && row->OnLinkPrefixLength != kIllegalPrefixLength) ||
      (create && (row->ValidLifetime < row->PreferredLifetime || !origins))) {
    return Refuse(function, ERROR_INVALID_PARAMETER,
                  "no unicast Address, or OnLinkPrefixLength, lifetimes or origins");
  }
  CHECK(Resolve(function, row->InterfaceLuid, row->InterfaceIndex, ERROR_NOT_FOUND, decoded.luid));
  return (Machine().*change)(decoded);
}

// A route row checked as CreateIpForwardEntry2 documents it (lifetimes, and the metric and
// protocol Initialize leaves illegal, only when `create`), handed to `change`.
DWORD ChangeRoute(const char* function, const MIB_IPFORWARD_ROW2* row, bool create,
                  uint32_t (FakeIpHelper::*change)(const ForwardRow&)) {
  CHECK(row ? CheckFamily(function, row->DestinationPrefix.Prefix.si_family)
            : Refuse(function, ERROR_INVALID_PARAMETER, "no row"));
  CHECK(CheckFamily(function, row->NextHop.si_family));
  const IP_ADDRESS_PREFIX* prefix = &row->DestinationPrefix;
  if (prefix->PrefixLength > 32 ||
      (row->SitePrefixLength > prefix->PrefixLength &&
       row->SitePrefixLength != kIllegalPrefixLength) ||
      (create && (row->PreferredLifetime > row->ValidLifetime || row->Metric == kIllegalMetric ||
                  row->Protocol == kIllegalProtocol))) {
    return Refuse(function, ERROR_INVALID_PARAMETER,
                  "PrefixLength, SitePrefixLength, lifetimes, Metric or Protocol");
  }
  ForwardRow route{0,
                   Decode(prefix->Prefix),
                   prefix->PrefixLength,
                   Decode(row->NextHop),
                   row->Metric,
                   static_cast<uint32_t>(row->Protocol),
                   row->ValidLifetime,
                   row->PreferredLifetime};
  CHECK(Resolve(function, row->InterfaceLuid, row->InterfaceIndex, ERROR_NOT_FOUND, route.luid));
  return (Machine().*change)(route);
}

void EncodeRoute(const ForwardRow& from, MIB_IPFORWARD_ROW2& to) {
  InitializeIpForwardEntry(&to);
  to.InterfaceLuid.Value = from.luid;
  to.InterfaceIndex = Machine().Interface(from.luid, 0).value_or(InterfaceRow{}).index;
  to.DestinationPrefix = {Encode(from.destination), from.prefix_length};
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

// GetIpInterfaceEntry's answer for the interface `row` names, its MTU the machine's when
// `read_mtu`, else the row's own. Windows answers with an IPv4 site prefix length that
// SetIpInterfaceEntry refuses back; so does the stand-in.
DWORD InterfaceEntry(const char* function, const MIB_IPINTERFACE_ROW* row, bool read_mtu,
                     MIB_IPINTERFACE_ROW& entry) {
  if (row == nullptr || (row->Family != AF_INET && row->Family != AF_INET6)) {
    return Refuse(function, ERROR_INVALID_PARAMETER, "no row, or no Family");
  }
  InterfaceLuid luid = 0;
  uint32_t mtu = row->NlMtu;
  CHECK(Resolve(function, row->InterfaceLuid, row->InterfaceIndex, ERROR_FILE_NOT_FOUND, luid));
  CHECK(row->Family == AF_INET6 ? Refuse(function, ERROR_NOT_FOUND, "no IPv6 stack") : NO_ERROR);
  CHECK(read_mtu ? Machine().GetInterfaceMtu(luid, mtu) : NO_ERROR);
  InitializeIpInterfaceEntry(&entry);
  entry.Family = AF_INET;
  entry.InterfaceLuid.Value = luid;
  entry.InterfaceIndex = Machine().Interface(luid, 0).value_or(InterfaceRow{}).index;
  entry.NlMtu = mtu;
  entry.SitePrefixLength = 64;
  entry.Connected = TRUE;
  return NO_ERROR;
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
  return ChangeAddress(__func__, row, true, &FakeIpHelper::CreateUnicastAddress);
}

DWORD WINAPI DeleteUnicastIpAddressEntry(const MIB_UNICASTIPADDRESS_ROW* row) {
  return ChangeAddress(__func__, row, false, &FakeIpHelper::DeleteUnicastAddress);
}

DWORD WINAPI CreateIpForwardEntry2(const MIB_IPFORWARD_ROW2* row) {
  return ChangeRoute(__func__, row, true, &FakeIpHelper::CreateForwardEntry);
}

DWORD WINAPI DeleteIpForwardEntry2(const MIB_IPFORWARD_ROW2* row) {
  return ChangeRoute(__func__, row, false, &FakeIpHelper::DeleteForwardEntry);
}

DWORD WINAPI GetIpInterfaceEntry(PMIB_IPINTERFACE_ROW row) {
  MIB_IPINTERFACE_ROW entry;
  CHECK(InterfaceEntry(__func__, row, true, entry));
  std::memcpy(row, &entry, sizeof entry);
  return NO_ERROR;
}

// Only the MTU is kept, so every other member must be as GetIpInterfaceEntry gave it, but for
// the site prefix length, which must be 0 for IPv4.
DWORD WINAPI SetIpInterfaceEntry(PMIB_IPINTERFACE_ROW row) {
  MIB_IPINTERFACE_ROW entry;
  CHECK(InterfaceEntry(__func__, row, false, entry));
  entry.SitePrefixLength = 0;
  return row->SitePrefixLength != 0
             ? Refuse(__func__, ERROR_INVALID_PARAMETER, "IPv4 SitePrefixLength not 0")
         : std::memcmp(&entry, row, sizeof entry) != 0
             ? Refuse(__func__, ERROR_NOT_SUPPORTED, "members besides NlMtu changed")
             : Machine().SetInterfaceMtu(entry.InterfaceLuid.Value, row->NlMtu);
}

DWORD WINAPI GetIfTable2(PMIB_IF_TABLE2* table) {
  std::vector<InterfaceRow> rows;
  CHECK(table ? Machine().GetInterfaceTable(rows)
              : Refuse(__func__, ERROR_INVALID_PARAMETER, "no table"));
  *table = NewTable<MIB_IF_TABLE2, MIB_IF_ROW2>(rows.size());
  for (size_t i = 0; i < rows.size(); ++i) {
    MIB_IF_ROW2& row = (*table)->Table[i];
    row.InterfaceLuid.Value = rows[i].luid;
    row.InterfaceIndex = rows[i].index;
    std::wcsncpy(row.Alias, rows[i].alias.c_str(), IF_MAX_STRING_SIZE);
    std::wcsncpy(row.Description, rows[i].description.c_str(), IF_MAX_STRING_SIZE);
    row.OperStatus = static_cast<IF_OPER_STATUS>(rows[i].oper_status);
  }
  return NO_ERROR;
}

DWORD WINAPI GetIpForwardTable2(ADDRESS_FAMILY family, PMIB_IPFORWARD_TABLE2* table) {
  std::vector<ForwardRow> rows;
  CHECK(table == nullptr      ? Refuse(__func__, ERROR_INVALID_PARAMETER, "no table")
        : family == AF_UNSPEC ? NO_ERROR
                              : CheckFamily(__func__, family));
  CHECK(Machine().GetForwardTable(IpAddress::Family::kIpv4, rows));
  CHECK(rows.empty() ? ERROR_NOT_FOUND : NO_ERROR);  // as Windows answers an empty table
  *table = NewTable<MIB_IPFORWARD_TABLE2, MIB_IPFORWARD_ROW2>(rows.size());
  for (size_t i = 0; i < rows.size(); ++i) {
    EncodeRoute(rows[i], (*table)->Table[i]);
  }
  return NO_ERROR;
}

// Keeping to an interface or a source address is not modelled (the service asks for neither),
// nor a best source address: it comes back unspecified.
DWORD WINAPI GetBestRoute2(NET_LUID* luid, NET_IFINDEX index, const SOCKADDR_INET* source,
                           const SOCKADDR_INET* destination, ULONG /*sort_options*/,
                           PMIB_IPFORWARD_ROW2 best, SOCKADDR_INET* best_source) {
  ForwardRow route;
  CHECK(destination == nullptr || best == nullptr || best_source == nullptr
            ? Refuse(__func__, ERROR_INVALID_PARAMETER, "a missing argument")
        : (luid != nullptr && luid->Value != 0) || index != 0 || source != nullptr
            ? Refuse(__func__, ERROR_NOT_SUPPORTED, "an interface or source to keep to")
            : CheckFamily(__func__, destination->si_family));
  CHECK(Machine().GetBestRoute(Decode(*destination), route));
  EncodeRoute(route, *best);
  *best_source = Encode(IpAddress{});
  return NO_ERROR;
}

VOID WINAPI FreeMibTable(PVOID table) {
  HeapFree(GetProcessHeap(), 0, table);
}

// Test control: the calls recorded since the last time, then forgotten; the text stays until the
// next time.
const char* StandInText() {
  static std::string text;
  text = Machine().TakeCalls();
  return text.c_str();
}

}  // extern "C"
