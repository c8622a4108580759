#include "platform/network_devices.h"

#include <linux/rtnetlink.h>

#include <vector>

#include "platform/posix/link_message.h"
#include "platform/posix/netlink_socket.h"
#include "platform/text_encoding.h"

namespace orvo_vpn_win_svc::platform {
namespace {

struct LinkRecord {
  int index = 0;
  NetworkDevice device;
};

class LinkSet final : public NetworkDeviceSet {
 public:
  LinkSet(std::unique_ptr<NetlinkSocket> socket, std::vector<LinkRecord> links)
      : socket_(std::move(socket)), links_(std::move(links)) {}

  std::vector<NetworkDevice> Devices() override {
    std::vector<NetworkDevice> devices;
    for (size_t i = 0; i < links_.size(); ++i) {
      devices.push_back(links_[i].device);
      devices.back().index = i;
    }
    return devices;
  }

  DeviceRemoval Remove(size_t index) override {
    DeviceRemoval removal;
    if (index >= links_.size()) {
      removal.error = static_cast<uint32_t>(ENODEV);
      return removal;
    }
    NetlinkMessage message = LinkRequest(RTM_DELLINK, 0, links_[index].index);
    removal.error = static_cast<uint32_t>(socket_->Request(message));
    if (removal.error == 0) {
      removal.outcome = DeviceRemoval::Outcome::kRemoved;
    }
    return removal;
  }

 private:
  std::unique_ptr<NetlinkSocket> socket_;
  std::vector<LinkRecord> links_;
};

class NetlinkDevices final : public NetworkDevices {
 public:
  DeviceSetOpening OpenPresent() override {
    DeviceSetOpening opening;
    auto socket = std::make_unique<NetlinkSocket>();
    std::vector<LinkRecord> links;
    NetlinkMessage message = LinkRequest(RTM_GETLINK, 0, 0);
    const int error = socket->Dump(message, [&](const NetlinkReply& reply) {
      LinkMessage link;
      if (ParseLinkMessage(reply, link)) {
        LinkRecord record;
        record.index = link.index;
        record.device.friendly_name = Utf8ToWide(link.name);
        if (!link.alias.empty()) {
          record.device.description = Utf8ToWide(link.alias);
        }
        links.push_back(std::move(record));
      }
    });
    if (error != 0) {
      opening.error = static_cast<uint32_t>(error);
      return opening;
    }
    opening.set = std::make_unique<LinkSet>(std::move(socket), std::move(links));
    return opening;
  }
};

}  // namespace

NetworkDevices& SystemNetworkDevices() {
  static NetlinkDevices devices;
  return devices;
}

}  // namespace orvo_vpn_win_svc::platform
