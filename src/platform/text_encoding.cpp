#include "platform/text_encoding.h"

namespace orvo_vpn_win_svc {

std::wstring WidenBytes(std::string_view text) {
  std::wstring wide;
  wide.reserve(text.size());
  for (const char c : text) {
    wide.push_back(static_cast<wchar_t>(static_cast<unsigned char>(c)));
  }
  return wide;
}

}  // namespace orvo_vpn_win_svc
