#pragma once

#include <string>

namespace orvo_vpn_win_svc::platform {

// Paths as text, split at the last backslash or slash (both are separators on Windows).

// The text before the last separator, or the whole path when it has none. Never ends with a
// separator.
std::wstring DirectoryPart(const std::wstring& path);

// The text after the last separator, or the whole path when it has none.
std::wstring LastPathComponent(const std::wstring& path);

}  // namespace orvo_vpn_win_svc::platform
