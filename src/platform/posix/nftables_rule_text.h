#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/wfp_engine.h"

namespace orvo_vpn_win_svc::platform {

// The nftables rules (bodies of "add rule inet TABLE CHAIN ...") that enforce one filter in an
// output chain. The connect layers become the output path of their address family; conditions
// on different fields must all hold, alternatives on one field become one rule each. Permit is
// accept; block rejects, with a TCP reset for TCP and an ICMP "administratively prohibited"
// otherwise, so a blocked connect fails at once instead of waiting for its timeout.
struct NftablesRules {
  uint32_t code = kWfpSuccess;     // ERROR_NOT_SUPPORTED for what Linux cannot match
  std::vector<std::string> rules;  // empty: the filter matches nothing here
};

NftablesRules RenderNftablesRules(const WfpFilter& filter);

// Application ids of this engine name a control group of the cgroup v2 hierarchy:
// "cgroupv2:<level>:<path below /sys/fs/cgroup>", matched with nftables' socket expression.
WfpByteBlob CgroupAppId(int level, const std::string& path_below_sys_fs_cgroup);

}  // namespace orvo_vpn_win_svc::platform
