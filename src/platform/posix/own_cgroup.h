#pragma once

#include <string>

#include "platform/wfp_engine.h"

namespace orvo_vpn_win_svc::platform {

// Linux cannot tell which executable a connection comes from, but it can tell which control
// group the socket belongs to. So the service's own executable and the sing-box beside it (the
// processes the service itself runs, whose children inherit its group) have an application id:
// the service's cgroup v2 group, as long as that group holds nothing but the service's own
// process tree (under the shipped systemd unit it is the unit's group). Any other path has none:
// ERROR_FILE_NOT_FOUND when it is not a file, ERROR_NOT_SUPPORTED otherwise; ERROR_NOT_FOUND
// when the service has no group of its own (cgroup v2 missing, not below /sys/fs/cgroup, or the
// group shared with other processes).
WfpAppId OwnProcessTreeAppId(const std::wstring& path);

}  // namespace orvo_vpn_win_svc::platform
