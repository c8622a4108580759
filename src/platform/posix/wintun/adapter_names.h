#pragma once

#include <string>
#include <string_view>

#include "platform/text_encoding.h"

namespace orvo_vpn_win_svc::wintun {

// Longest Linux interface name (IFNAMSIZ less its terminating zero) and link alias (IFALIASZ
// less its terminating zero), in bytes.
inline constexpr size_t kMaxLinuxInterfaceName = 15;
inline constexpr size_t kMaxLinkAlias = 255;

// The Linux interface name of a Wintun adapter name: each space becomes '-' ("ORVO VPN" ->
// "ORVO-VPN"); every other character must be printable ASCII other than '/' and ':', which Linux
// forbids. Empty when no valid Linux name results: an empty name, ".", "..", a forbidden
// character, or more than 15 characters. A name is never shortened, since two long adapter
// names would then meet on one device.
inline std::string LinuxInterfaceName(std::wstring_view adapter_name) {
  std::string name;
  for (const wchar_t c : adapter_name) {
    if (c == L' ') {
      name.push_back('-');
    } else if (c > L' ' && c < 0x7F && c != L'/' && c != L':') {
      name.push_back(static_cast<char>(c));
    } else {
      return {};
    }
  }
  if (name.size() > kMaxLinuxInterfaceName || name == "." || name == "..") {
    return {};
  }
  return name;
}

// The description an adapter of this tunnel type carries as its link alias: the tunnel type
// followed by " (Wintun)" ("WireGuard (Wintun)"), or "Wintun" alone for an empty type. The word
// "Wintun" is what the clean-up of stale adapters looks for. Empty when the UTF-8 text would be
// longer than a link alias may be.
inline std::string AdapterDescription(std::wstring_view tunnel_type) {
  std::string description = WideToUtf8(tunnel_type);
  description += description.empty() ? "Wintun" : " (Wintun)";
  if (description.size() > kMaxLinkAlias) {
    return {};
  }
  return description;
}

}  // namespace orvo_vpn_win_svc::wintun
