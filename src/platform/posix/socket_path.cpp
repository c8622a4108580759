#include "platform/posix/socket_path.h"

#include <cstdlib>

#include "platform/path_text.h"
#include "platform/text_encoding.h"

namespace orvo_vpn_win_svc::platform {

std::string PipeSocketDirectory() {
  const char* configured = std::getenv("ORVO_PIPE_DIR");
  return configured != nullptr && *configured != '\0' ? configured : "/run/orvo-vpn";
}

std::string PipeSocketPath(const std::wstring& pipe_name) {
  return PipeSocketDirectory() + "/" + WideToUtf8(LastPathComponent(pipe_name));
}

}  // namespace orvo_vpn_win_svc::platform
