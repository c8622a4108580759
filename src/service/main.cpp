#include "service/service_entry.h"
#include "service/service_host.h"

namespace orvo_vpn_win_svc {

int RunServiceProcess(const std::vector<std::wstring>& arguments) {
  ServiceHost host(ServiceHost::Facilities::System());
  return host.Run(arguments);
}

}  // namespace orvo_vpn_win_svc
