#include "integration/service_namespace.h"

#include "support/network_namespace.h"
#include "support/platform_kind.h"

#ifndef _WIN32
#include <fcntl.h>
#include <unistd.h>
#endif

namespace orvo_test {

bool RunInServiceNamespace(const std::function<void()>& body, std::string& why_not) {
#ifndef _WIN32
  if (geteuid() != 0) {
    why_not = "not running as root";
    return false;
  }
  const int tun = open("/dev/net/tun", O_RDWR | O_CLOEXEC);
  if (tun < 0) {
    why_not = "/dev/net/tun cannot be opened";
    return false;
  }
  close(tun);
  if (RunShell("unshare --pid --fork --mount-proc true") != 0) {
    why_not = "`unshare --pid --fork --mount-proc` fails here";
    return false;
  }
  return RunInOwnNetworkNamespace(body, why_not);
#else
  (void)body;
  why_not = "the service is driven through its socket and a TUN device on Linux only";
  return false;
#endif
}

}  // namespace orvo_test
