#include "platform/wfp_engine.h"

#include "platform/posix/nftables_engine.h"

namespace orvo_vpn_win_svc::platform {

std::shared_ptr<WfpEngine> SystemWfpEngine() {
  static const std::shared_ptr<WfpEngine> engine = std::make_shared<NftablesWfpEngine>();
  return engine;
}

}  // namespace orvo_vpn_win_svc::platform
