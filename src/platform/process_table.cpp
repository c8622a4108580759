#include "platform/process_table.h"

#include <cwctype>

namespace orvo_vpn_win_svc::platform {

bool SameImageName(const std::wstring& image_name, const std::wstring& wanted) {
  if (image_name.size() != wanted.size()) {
    return false;
  }
  for (size_t i = 0; i < wanted.size(); ++i) {
    if (std::towlower(static_cast<wint_t>(image_name[i])) !=
        std::towlower(static_cast<wint_t>(wanted[i]))) {
      return false;
    }
  }
  return true;
}

}  // namespace orvo_vpn_win_svc::platform
