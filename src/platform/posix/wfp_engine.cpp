#include "platform/wfp_engine.h"

#include <unistd.h>

#include "platform/in_memory_wfp_engine.h"

namespace orvo_vpn_win_svc::platform {

// Linux has no filtering engine of this kind: the kill switch is modelled in memory, and root
// stands for the administrator rights Windows asks of whoever adds the provider.
std::shared_ptr<WfpEngine> SystemWfpEngine() {
  static const std::shared_ptr<WfpEngine> engine =
      std::make_shared<InMemoryWfpEngine>(geteuid() == 0);
  return engine;
}

}  // namespace orvo_vpn_win_svc::platform
