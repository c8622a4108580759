#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace orvo_vpn_win_svc::wintun {

// One Wintun adapter on Linux: a persistent layer-3 TUN device, known by its interface name and
// index. The device lives on its own, with or without a session attached, until it is removed.
class TunAdapter {
 public:
  // Creates the TUN device for `name` (mapped as LinuxInterfaceName does) and sets the link
  // alias to the adapter's description, derived from `tunnel_type`. Fails with
  // kErrorAlreadyExists when a link of that name exists. On failure returns null and sets
  // `error` to a Windows error code.
  static std::shared_ptr<TunAdapter> Create(std::wstring_view name, std::wstring_view tunnel_type,
                                            uint32_t& error);

  // Finds an existing TUN device of that name (a TAP device or any other kind of link does not
  // count: kErrorFileNotFound).
  static std::shared_ptr<TunAdapter> Open(std::wstring_view name, uint32_t& error);

  TunAdapter(std::string linux_name, int index, bool created_here)
      : linux_name_(std::move(linux_name)), index_(index), created_here_(created_here) {}

  const std::string& LinuxName() const { return linux_name_; }
  int Index() const { return index_; }
  uint64_t Luid() const;
  // True when this adapter object made the device (WintunCreateAdapter), not found it.
  bool CreatedHere() const { return created_here_; }

  // Removes the device. A device that is gone already counts as removed. Returns 0 or a
  // Windows error code.
  uint32_t Remove() const;

 private:
  std::string linux_name_;
  int index_;
  bool created_here_;
};

}  // namespace orvo_vpn_win_svc::wintun
