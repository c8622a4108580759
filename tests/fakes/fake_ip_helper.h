#pragma once

#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "fakes/call_recorder.h"
#include "platform/ip_helper.h"

namespace orvo_test {

// An IP Helper that keeps interfaces, addresses and routes in memory and records every call as
// one line of text ("create route 203.0.113.7/32 via 192.0.2.1 if 0x... metric 5 proto 1").
// Any call can be made to fail with a given code. An address is known by its interface and
// itself, a route by its interface, destination and next hop, as the system knows them; a second
// one is ERROR_OBJECT_ALREADY_EXISTS, a missing one ERROR_NOT_FOUND. The iphlpapi stand-in serves
// the Win32 calls from one of these.
class FakeIpHelper : public orvo_vpn_win_svc::platform::IpHelper {
 public:
  using InterfaceRow = orvo_vpn_win_svc::platform::InterfaceRow;
  using UnicastAddressRow = orvo_vpn_win_svc::platform::UnicastAddressRow;
  using ForwardRow = orvo_vpn_win_svc::platform::ForwardRow;
  using IpAddress = orvo_vpn_win_svc::platform::IpAddress;
  using InterfaceLuid = orvo_vpn_win_svc::platform::InterfaceLuid;

  // Call names for Fail: "GetInterfaceTable", "CreateUnicastAddress", "DeleteUnicastAddress",
  // "GetInterfaceMtu", "SetInterfaceMtu", "GetBestRoute", "GetForwardTable",
  // "CreateForwardEntry", "DeleteForwardEntry". The first `times` calls fail; every one when
  // `times` < 0.
  void Fail(const std::string& call, uint32_t code, int times = -1);

  // These change the tables without recording a call.
  void SetInterfaces(std::vector<InterfaceRow> rows);
  void AddInterface(const InterfaceRow& row, uint32_t mtu);  // in place of one with its LUID
  void AddRoute(const ForwardRow& row);

  // The interface with `luid`, or when that is 0 with `index`.
  std::optional<InterfaceRow> Interface(InterfaceLuid luid, uint32_t index) const;

  // The calls made so far, one per line, and forget them; Note adds a line of the caller's.
  std::string TakeCalls() { return calls_.Take(); }
  void Note(const std::string& line) { calls_.Note(line); }
  // Whether a line of TakeCalls is a call that changed the tables (create, delete, set).
  static bool IsChange(const std::string& line) {
    return line.starts_with("create ") || line.starts_with("delete ") || line.starts_with("set ");
  }

  // An IPv4 route as Describe writes it ("0.0.0.0/0 via 192.0.2.1 if 0x200 metric 25 proto 3");
  // lifetimes infinite.
  static ForwardRow ParseRoute(const std::string& text);

  static std::string Describe(const IpAddress& address);
  // The interface is shown by its LUID, or by `interface_name` when one is given.
  static std::string Describe(const ForwardRow& row, const std::string& interface_name = "");
  // The IPv4 routes `ip_helper` reads: its result and a colon, then a Describe line a route, the
  // interfaces named by `name` when it is given.
  static std::string ForwardTable(orvo_vpn_win_svc::platform::IpHelper& ip_helper,
                                  const std::function<std::string(InterfaceLuid)>& name = {});

  uint32_t GetInterfaceTable(std::vector<InterfaceRow>& rows) override;
  uint32_t CreateUnicastAddress(const UnicastAddressRow& row) override {
    return ChangeAddress(row, true);
  }
  uint32_t DeleteUnicastAddress(const UnicastAddressRow& row) override {
    return ChangeAddress(row, false);
  }
  uint32_t GetInterfaceMtu(InterfaceLuid luid, uint32_t& mtu) override;
  uint32_t SetInterfaceMtu(InterfaceLuid luid, uint32_t mtu) override;
  // The most specific route to `destination` (lowest metric among equals), like the system's.
  uint32_t GetBestRoute(const IpAddress& destination, ForwardRow& route) override;
  uint32_t GetForwardTable(IpAddress::Family family, std::vector<ForwardRow>& rows) override;
  uint32_t CreateForwardEntry(const ForwardRow& row) override { return ChangeRoute(row, true); }
  uint32_t DeleteForwardEntry(const ForwardRow& row) override { return ChangeRoute(row, false); }

 private:
  // Records `line`; returns the injected failure for `call`, or 0.
  uint32_t Record(const std::string& call, const std::string& line);
  uint32_t ChangeAddress(const UnicastAddressRow& row, bool add);
  uint32_t ChangeRoute(const ForwardRow& row, bool add);

  mutable std::mutex mutex_;
  CallRecorder calls_;
  std::vector<InterfaceRow> interfaces_;
  std::vector<UnicastAddressRow> addresses_;
  std::vector<ForwardRow> routes_;
  std::map<InterfaceLuid, uint32_t> mtus_;
};

}  // namespace orvo_test
