#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/wfp_engine.h"

namespace orvo_vpn_win_svc::platform {

// The hooks a sublayer's filters are enforced in. The output path judges what this host sends
// before it leaves, so a blocked connect can be refused at once; but another program's NAT or
// policy routing may move a packet to another address or interface after that, so postrouting
// judges again on the interface the packet finally leaves by. What the host forwards (for
// containers and virtual machines) passes forward and postrouting, never output.
enum class NftablesHook { kOutput, kForward, kPostrouting };

// The nftables rules (bodies of "add rule inet TABLE CHAIN ...") that enforce one filter in a
// chain on `hook`. The connect layers become the packets of their address family; conditions
// on different fields must all hold, alternatives on one field become one rule each. Permit is
// accept; block rejects, with a TCP reset for TCP and an ICMP "administratively prohibited"
// otherwise, so a blocked connect fails at once instead of waiting for its timeout. Postrouting
// cannot reject, so there a block drops. The socket's control group can be asked only on the
// output path: elsewhere an application permit has no rule, and the packets it permits are
// judged by the other filters.
struct NftablesRules {
  uint32_t code = kWfpSuccess;     // ERROR_NOT_SUPPORTED for what Linux cannot match
  std::vector<std::string> rules;  // empty: the filter matches nothing here
};

NftablesRules RenderNftablesRules(const WfpFilter& filter,
                                  NftablesHook hook = NftablesHook::kOutput);

// Application ids of this engine name a control group of the cgroup v2 hierarchy:
// "cgroupv2:<level>:<path below /sys/fs/cgroup>", matched with nftables' socket expression.
WfpByteBlob CgroupAppId(int level, const std::string& path_below_sys_fs_cgroup);

}  // namespace orvo_vpn_win_svc::platform
