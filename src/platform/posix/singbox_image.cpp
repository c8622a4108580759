#include "platform/singbox_image.h"

namespace orvo_vpn_win_svc::platform {

const std::wstring& SingboxImageName() {
  static const std::wstring name = L"sing-box";
  return name;
}

}  // namespace orvo_vpn_win_svc::platform
