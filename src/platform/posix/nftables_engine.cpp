#include "platform/posix/nftables_engine.h"

#include "platform/posix/nftables_session.h"
#include "platform/posix/own_cgroup.h"

namespace orvo_vpn_win_svc::platform {

WfpSessionOpen NftablesWfpEngine::OpenSession(const WfpSessionOptions& options) {
  // Every session is dynamic here: its table goes with its socket.
  (void)options;
  return NftablesSession::Open();
}

WfpAppId NftablesWfpEngine::GetAppIdFromFileName(const std::wstring& path) {
  return OwnProcessTreeAppId(path);
}

}  // namespace orvo_vpn_win_svc::platform
