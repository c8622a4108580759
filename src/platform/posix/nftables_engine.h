#pragma once

#include <memory>

#include "platform/wfp_engine.h"

namespace orvo_vpn_win_svc::platform {

// The filtering engine on Linux, on nftables through libnftables. A session is one libnftables
// context, and with it one netlink socket; the session's objects live in the table "inet
// orvo_vpn", made with the `owner` flag, so the kernel removes them when that socket closes,
// also when the process is killed (a dynamic session). Providers and sublayers are that table
// and, per sublayer, one chain on each of the output, forward and postrouting hooks (see
// NftablesHook); each change outside a transaction, and each commit, is one nftables batch that
// the kernel applies whole or not at all, the affected chains rebuilt in the order the
// filtering engine would offer a connection to their filters. Only connections this host
// originates or forwards are filtered: packets of connections others opened (the reply
// direction of conntrack) pass, as WFP's connect layers leave them to the receive layers.
// Nothing outside the session's own table is ever changed.
class NftablesWfpEngine : public WfpEngine {
 public:
  WfpSessionOpen OpenSession(const WfpSessionOptions& options) override;
  WfpAppId GetAppIdFromFileName(const std::wstring& path) override;
};

}  // namespace orvo_vpn_win_svc::platform
