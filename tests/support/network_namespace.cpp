#include "support/network_namespace.h"

#if defined(__linux__)
#include <sched.h>
#include <sys/wait.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

namespace orvo_test {

std::string ShellOutput(const std::string& command, int* status) {
  std::string output;
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) {
    return output;
  }
  char chunk[512];
  for (size_t read; (read = fread(chunk, 1, sizeof(chunk), pipe)) > 0;) {
    output.append(chunk, read);
  }
  const int ended = pclose(pipe);
  if (status != nullptr) {
    *status = WIFEXITED(ended) ? WEXITSTATUS(ended) : -1;
  }
  return output;
}

int RunShell(const std::string& command) {
  const int status = std::system(command.c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool RunInOwnNetworkNamespace(const std::function<void()>& body, std::string& why_not) {
  bool entered = false;
  // A network namespace belongs to a thread; a thread of our own keeps the test's other
  // threads (and the host) out of it, and the namespace goes when the thread ends.
  std::thread runner([&] {
    if (unshare(CLONE_NEWNET) != 0) {
      why_not =
          std::string("unshare(CLONE_NEWNET) failed: ") + std::strerror(errno) + " (needs root)";
      return;
    }
    if (RunShell("ip link set lo up") != 0) {
      why_not = "cannot raise loopback with `ip` in the new namespace";
      return;
    }
    entered = true;
    body();
  });
  runner.join();
  return entered;
}

}  // namespace orvo_test
#else
namespace orvo_test {

bool RunInOwnNetworkNamespace(const std::function<void()>& /*body*/, std::string& why_not) {
  why_not = "network namespaces exist on Linux only";
  return false;
}

}  // namespace orvo_test
#endif
