#include "platform/pipe_endpoint.h"

namespace orvo_vpn_win_svc::platform {

std::wstring PipeShortName(const std::wstring& pipe_name) {
  const size_t separator = pipe_name.find_last_of(L"\\/");
  return separator == std::wstring::npos ? pipe_name : pipe_name.substr(separator + 1);
}

}  // namespace orvo_vpn_win_svc::platform
