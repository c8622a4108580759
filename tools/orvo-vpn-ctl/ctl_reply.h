#pragma once

#include <string>

namespace orvo_vpn_ctl {

// Exit codes of the client.
inline constexpr int kExitSuccess = 0;
inline constexpr int kExitServiceFailure = 1;
inline constexpr int kExitUnreachable = 2;

// 0 when the service reported success ("success" true, the text "ok", or a status text), 1 when
// it reported a failure.
int ExitCodeForReply(const std::string& reply);

// The reply as the client prints it: JSON pretty-printed with 2 spaces when asked and possible,
// otherwise the reply as it came.
std::string FormatReply(const std::string& reply, bool pretty);

}  // namespace orvo_vpn_ctl
