#include "fakes/fake_ip_helper.h"

#include <algorithm>
#include <cstdio>
#include <tuple>
#include <utility>

namespace orvo_test {
namespace {

constexpr uint32_t kNotFound = 1168;      // ERROR_NOT_FOUND
constexpr uint32_t kObjectExists = 5010;  // ERROR_OBJECT_ALREADY_EXISTS
using orvo_vpn_win_svc::platform::ForwardRow;
using orvo_vpn_win_svc::platform::IpAddress;
using orvo_vpn_win_svc::platform::UnicastAddressRow;

std::string Hex(uint64_t value) {
  char text[24];
  std::snprintf(text, sizeof(text), "0x%llx", static_cast<unsigned long long>(value));
  return text;
}

bool PrefixMatches(const ForwardRow& row, const IpAddress& address) {
  for (uint8_t bit = 0; bit < row.prefix_length; ++bit) {
    const uint8_t mask = static_cast<uint8_t>(0x80u >> (bit % 8));
    if ((row.destination.bytes[bit / 8] & mask) != (address.bytes[bit / 8] & mask)) {
      return false;
    }
  }
  return row.destination.family == address.family;
}

// The fields the system knows an address or a route by.
auto Identity(const UnicastAddressRow& row) {
  return std::tie(row.luid, row.address);
}
auto Identity(const ForwardRow& row) {
  return std::tie(row.luid, row.destination, row.prefix_length, row.next_hop);
}

// Adds `row` (an error when there is one like it) or removes it (an error when there is none).
template <typename Row>
uint32_t Change(std::vector<Row>& rows, const Row& row, bool add) {
  const auto found =
      std::ranges::find_if(rows, [&](const Row& kept) { return Identity(kept) == Identity(row); });
  if (add == (found != rows.end())) {
    return add ? kObjectExists : kNotFound;
  }
  add ? rows.push_back(row) : void(rows.erase(found));
  return 0;
}

}  // namespace

void FakeIpHelper::Fail(const std::string& call, uint32_t code, int times) {
  calls_.Fail(call, code, 1, times < 0 ? 0 : times);
}

void FakeIpHelper::SetInterfaces(std::vector<InterfaceRow> rows) {
  std::lock_guard lock(mutex_);
  interfaces_ = std::move(rows);
}

void FakeIpHelper::AddInterface(const InterfaceRow& row, uint32_t mtu) {
  std::lock_guard lock(mutex_);
  std::erase_if(interfaces_, [&](const InterfaceRow& kept) { return kept.luid == row.luid; });
  interfaces_.push_back(row);
  mtus_[row.luid] = mtu;
}

std::optional<FakeIpHelper::InterfaceRow> FakeIpHelper::Interface(InterfaceLuid luid,
                                                                  uint32_t index) const {
  std::lock_guard lock(mutex_);
  const auto found = std::ranges::find_if(interfaces_, [&](const InterfaceRow& row) {
    return luid != 0 ? row.luid == luid : row.index == index;
  });
  return found == interfaces_.end() ? std::nullopt : std::optional(*found);
}

void FakeIpHelper::AddRoute(const ForwardRow& row) {
  std::lock_guard lock(mutex_);
  routes_.push_back(row);
}

FakeIpHelper::ForwardRow FakeIpHelper::ParseRoute(const std::string& text) {
  unsigned d[4] = {}, prefix = 0, n[4] = {}, metric = 0, protocol = 0;
  unsigned long long luid = 0;
  std::sscanf(text.c_str(), "%u.%u.%u.%u/%u via %u.%u.%u.%u if %llx metric %u proto %u", &d[0],
              &d[1], &d[2], &d[3], &prefix, &n[0], &n[1], &n[2], &n[3], &luid, &metric, &protocol);
  const auto address = [](const unsigned* b) {
    return IpAddress::Ipv4(b[0] << 24 | b[1] << 16 | b[2] << 8 | b[3]);
  };
  return {luid, address(d), static_cast<uint8_t>(prefix), address(n), metric, protocol};
}

std::string FakeIpHelper::Describe(const IpAddress& address) {
  if (address.family != IpAddress::Family::kIpv4) {
    return "(IPv6)";  // no test gives the service an IPv6 address to use
  }
  char text[16];
  std::snprintf(text, sizeof(text), "%u.%u.%u.%u", address.bytes[0], address.bytes[1],
                address.bytes[2], address.bytes[3]);
  return text;
}

std::string FakeIpHelper::Describe(const ForwardRow& row, const std::string& interface_name) {
  return Describe(row.destination) + "/" + std::to_string(row.prefix_length) + " via " +
         Describe(row.next_hop) + " if " +
         (interface_name.empty() ? Hex(row.luid) : interface_name) + " metric " +
         std::to_string(row.metric) + " proto " + std::to_string(row.protocol);
}

std::string FakeIpHelper::ForwardTable(orvo_vpn_win_svc::platform::IpHelper& ip_helper,
                                       const std::function<std::string(InterfaceLuid)>& name) {
  std::vector<ForwardRow> rows;
  std::string text =
      std::to_string(ip_helper.GetForwardTable(IpAddress::Family::kIpv4, rows)) + ":\n";
  for (const ForwardRow& row : rows) {
    text += Describe(row, name ? name(row.luid) : "") + "\n";
  }
  return text;
}

uint32_t FakeIpHelper::Record(const std::string& call, const std::string& line) {
  calls_.Note(line);
  return calls_.Fault(call);
}

uint32_t FakeIpHelper::GetInterfaceTable(std::vector<InterfaceRow>& rows) {
  std::lock_guard lock(mutex_);
  const uint32_t error = Record("GetInterfaceTable", "get interfaces");
  rows = error ? rows : interfaces_;
  return error;
}

uint32_t FakeIpHelper::ChangeAddress(const UnicastAddressRow& row, bool add) {
  std::lock_guard lock(mutex_);
  const uint32_t error =
      Record(add ? "CreateUnicastAddress" : "DeleteUnicastAddress",
             std::string(add ? "create" : "delete") + " address " + Describe(row.address) + "/" +
                 std::to_string(row.prefix_length) + " if " + Hex(row.luid));
  return error ? error : Change(addresses_, row, add);
}

uint32_t FakeIpHelper::GetInterfaceMtu(InterfaceLuid luid, uint32_t& mtu) {
  std::lock_guard lock(mutex_);
  const uint32_t error = Record("GetInterfaceMtu", "get mtu if " + Hex(luid));
  if (error || mtus_.count(luid) == 0) {
    return error ? error : kNotFound;
  }
  mtu = mtus_[luid];
  return 0;
}

uint32_t FakeIpHelper::SetInterfaceMtu(InterfaceLuid luid, uint32_t mtu) {
  std::lock_guard lock(mutex_);
  const uint32_t error =
      Record("SetInterfaceMtu", "set mtu " + std::to_string(mtu) + " if " + Hex(luid));
  if (!error) {
    mtus_[luid] = mtu;
  }
  return error;
}

uint32_t FakeIpHelper::GetBestRoute(const IpAddress& destination, ForwardRow& route) {
  std::lock_guard lock(mutex_);
  if (const uint32_t error = Record("GetBestRoute", "best route " + Describe(destination))) {
    return error;
  }
  const ForwardRow* best = nullptr;
  for (const ForwardRow& row : routes_) {
    if (PrefixMatches(row, destination) &&
        (best == nullptr || row.prefix_length > best->prefix_length ||
         (row.prefix_length == best->prefix_length && row.metric < best->metric))) {
      best = &row;
    }
  }
  route = best ? *best : route;
  return best ? 0 : kNotFound;
}

uint32_t FakeIpHelper::GetForwardTable(IpAddress::Family family, std::vector<ForwardRow>& rows) {
  std::lock_guard lock(mutex_);
  const bool v4 = family == IpAddress::Family::kIpv4;
  if (const uint32_t error =
          Record("GetForwardTable", v4 ? "get routes ipv4" : "get routes ipv6")) {
    return error;
  }
  rows.clear();
  std::copy_if(routes_.begin(), routes_.end(), std::back_inserter(rows),
               [&](const ForwardRow& row) { return row.destination.family == family; });
  return 0;
}

uint32_t FakeIpHelper::ChangeRoute(const ForwardRow& row, bool add) {
  std::lock_guard lock(mutex_);
  const uint32_t error = Record(add ? "CreateForwardEntry" : "DeleteForwardEntry",
                                std::string(add ? "create" : "delete") + " route " + Describe(row));
  return error ? error : Change(routes_, row, add);
}

}  // namespace orvo_test
