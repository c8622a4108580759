#include "platform/ip_helper.h"

namespace orvo_vpn_win_svc::platform {

// Placeholder until the rtnetlink implementation lands: every call reports ERROR_NOT_SUPPORTED.
namespace {
constexpr uint32_t kNotSupported = 50;
class UnsupportedIpHelper final : public IpHelper {
 public:
  uint32_t GetInterfaceTable(std::vector<InterfaceRow>&) override { return kNotSupported; }
  uint32_t CreateUnicastAddress(const UnicastAddressRow&) override { return kNotSupported; }
  uint32_t DeleteUnicastAddress(const UnicastAddressRow&) override { return kNotSupported; }
  uint32_t GetInterfaceMtu(InterfaceLuid, uint32_t&) override { return kNotSupported; }
  uint32_t SetInterfaceMtu(InterfaceLuid, uint32_t) override { return kNotSupported; }
  uint32_t GetBestRoute(const IpAddress&, ForwardRow&) override { return kNotSupported; }
  uint32_t GetForwardTable(IpAddress::Family, std::vector<ForwardRow>&) override { return kNotSupported; }
  uint32_t CreateForwardEntry(const ForwardRow&) override { return kNotSupported; }
  uint32_t DeleteForwardEntry(const ForwardRow&) override { return kNotSupported; }
};
}  // namespace

std::shared_ptr<IpHelper> SystemIpHelper() { return std::make_shared<UnsupportedIpHelper>(); }

}  // namespace orvo_vpn_win_svc::platform
