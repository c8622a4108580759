#pragma once

#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "fakes/call_recorder.h"
#include "platform/ip_helper.h"

namespace orvo_test {

// An IP Helper that keeps interfaces, addresses and routes in memory and records every call as
// one line of text ("create route 203.0.113.7/32 via 192.0.2.1 if 0x... metric 5 proto 1").
// Any call can be made to fail with a given code.
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

  void SetInterfaces(std::vector<InterfaceRow> rows);
  void AddRoute(const ForwardRow& row);  // without recording a call
  void SetMtu(InterfaceLuid luid, uint32_t mtu);

  // The calls made so far, one per line, and forget them.
  std::string TakeCalls() { return calls_.Take(); }

  // An IPv4 route row; addresses in host order, lifetimes infinite.
  static ForwardRow Ipv4Route(uint32_t destination, uint8_t prefix_length, uint32_t next_hop,
                              InterfaceLuid luid, uint32_t metric, uint32_t protocol);

  static std::string Describe(const IpAddress& address);
  static std::string Describe(const ForwardRow& row);

  uint32_t GetInterfaceTable(std::vector<InterfaceRow>& rows) override;
  uint32_t CreateUnicastAddress(const UnicastAddressRow& row) override;
  uint32_t DeleteUnicastAddress(const UnicastAddressRow& row) override;
  uint32_t GetInterfaceMtu(InterfaceLuid luid, uint32_t& mtu) override;
  uint32_t SetInterfaceMtu(InterfaceLuid luid, uint32_t mtu) override;
  // The most specific route to `destination` (lowest metric among equals), like the system's.
  uint32_t GetBestRoute(const IpAddress& destination, ForwardRow& route) override;
  uint32_t GetForwardTable(IpAddress::Family family, std::vector<ForwardRow>& rows) override;
  uint32_t CreateForwardEntry(const ForwardRow& row) override;
  uint32_t DeleteForwardEntry(const ForwardRow& row) override;

 private:
  // Records `line`; returns the injected failure for `call`, or 0.
  uint32_t Record(const std::string& call, const std::string& line);

  mutable std::mutex mutex_;
  CallRecorder calls_;
  std::vector<InterfaceRow> interfaces_;
  std::vector<UnicastAddressRow> addresses_;
  std::vector<ForwardRow> routes_;
  std::map<InterfaceLuid, uint32_t> mtus_;
};

}  // namespace orvo_test
