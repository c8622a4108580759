#include "platform/path_text.h"

namespace orvo_vpn_win_svc::platform {

std::wstring DirectoryPart(const std::wstring& path) {
  const size_t separator = path.find_last_of(L"\\/");
  return separator == std::wstring::npos ? path : path.substr(0, separator);
}

std::wstring LastPathComponent(const std::wstring& path) {
  const size_t separator = path.find_last_of(L"\\/");
  return separator == std::wstring::npos ? path : path.substr(separator + 1);
}

}  // namespace orvo_vpn_win_svc::platform
