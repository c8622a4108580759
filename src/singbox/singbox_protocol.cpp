#include "singbox/singbox_protocol.h"

#include "platform/singbox_image.h"
#include "platform/system_paths.h"

namespace orvo_vpn_win_svc {

std::wstring SingboxPathIn(const std::wstring& directory) {
  return directory + platform::kPathSeparator + platform::SingboxImageName();
}

std::wstring SingboxRunCommandLine(const std::wstring& program_path) {
  return L"\"" + program_path + L"\" run -c stdin";
}

std::wstring SingboxVersionCommandLine(const std::wstring& program_path) {
  return L"\"" + program_path + L"\" version";
}

void WipeText(std::string& text) {
  // Through a volatile pointer, so the stores are not dropped as dead before the clear.
  volatile char* bytes = text.data();
  for (size_t i = 0; i < text.size(); ++i) {
    bytes[i] = '\0';
  }
  text.clear();
}

}  // namespace orvo_vpn_win_svc
