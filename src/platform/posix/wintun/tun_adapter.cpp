#include "tun_adapter.h"

#include <linux/if_arp.h>

#include <cerrno>

#include "adapter_names.h"
#include "link_control.h"
#include "platform/posix/linux_luid.h"
#include "tun_device.h"
#include "windows_error.h"

namespace orvo_vpn_win_svc::wintun {
namespace {

// Errors of opening /dev/net/tun itself say more than the generic mapping.
uint32_t AttachError(int linux_error) {
  return linux_error == ENOENT || linux_error == ENODEV ? kErrorNotSupported
                                                        : WindowsErrorFromErrno(linux_error);
}

bool IsTunDevice(const LinkFacts& facts) {
  return facts.kind == "tun" && facts.hardware_type == ARPHRD_NONE;
}

}  // namespace

std::shared_ptr<TunAdapter> TunAdapter::Create(std::wstring_view name,
                                               std::wstring_view tunnel_type, uint32_t& error) {
  const std::string linux_name = LinuxInterfaceName(name);
  const std::string description = AdapterDescription(tunnel_type);
  if (linux_name.empty() || description.empty()) {
    error = kErrorInvalidParameter;
    return nullptr;
  }
  LinkControl links;
  LinkFacts facts;
  int result = links.Find(linux_name, facts);
  if (result == 0) {
    error = kErrorAlreadyExists;
    return nullptr;
  }
  if (result != ENODEV) {
    error = WindowsErrorFromErrno(result);
    return nullptr;
  }
  TunAttachment attachment;
  result = AttachTunDevice(linux_name, false, attachment);
  if (result != 0) {
    error = AttachError(result);
    return nullptr;
  }
  if (attachment.was_persistent) {
    // Someone made a device of that name since the look-up above; it is not ours to take.
    error = kErrorAlreadyExists;
    return nullptr;
  }
  // Until it is persistent, closing the descriptor removes the new device again, so every
  // failure below leaves nothing behind.
  result = links.Find(linux_name, facts);
  if (result == 0) {
    result = links.SetAlias(facts.index, description);
  }
  if (result == 0) {
    result = SetTunPersistent(attachment, true);
  }
  if (result != 0) {
    error = WindowsErrorFromErrno(result);
    return nullptr;
  }
  return std::make_shared<TunAdapter>(linux_name, facts.index, true);
}

std::shared_ptr<TunAdapter> TunAdapter::Open(std::wstring_view name, uint32_t& error) {
  const std::string linux_name = LinuxInterfaceName(name);
  if (linux_name.empty()) {
    error = kErrorInvalidParameter;
    return nullptr;
  }
  LinkControl links;
  LinkFacts facts;
  const int result = links.Find(linux_name, facts);
  if (result == ENODEV || (result == 0 && !IsTunDevice(facts))) {
    error = kErrorFileNotFound;
    return nullptr;
  }
  if (result != 0) {
    error = WindowsErrorFromErrno(result);
    return nullptr;
  }
  return std::make_shared<TunAdapter>(linux_name, facts.index, false);
}

uint64_t TunAdapter::Luid() const {
  return platform::LuidFromInterfaceIndex(index_);
}

uint32_t TunAdapter::Remove() const {
  LinkControl links;
  const int result = links.Remove(index_);
  if (result == 0 || result == ENODEV) {
    return kErrorSuccess;
  }
  return WindowsErrorFromErrno(result);
}

}  // namespace orvo_vpn_win_svc::wintun
