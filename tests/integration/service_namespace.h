#pragma once

#include <functional>
#include <string>

namespace orvo_test {

// Runs `body` in a network namespace of its own when the service can be driven there for real:
// Linux, root (namespaces, TUN devices) and an openable /dev/net/tun. False with `why_not` set
// otherwise; the caller skips, saying why.
bool RunInServiceNamespace(const std::function<void()>& body, std::string& why_not);

}  // namespace orvo_test

// Skips the test loudly when `body` cannot run as the service's users run it.
#define ORVO_RUN_IN_SERVICE_NAMESPACE_OR_SKIP(body)                                       \
  do {                                                                                    \
    std::string orvo_why_not;                                                             \
    if (!orvo_test::RunInServiceNamespace(body, orvo_why_not)) {                          \
      GTEST_SKIP() << "SKIPPED LOUDLY: the service test needs root, network namespaces, " \
                      "PID namespaces and /dev/net/tun: "                                 \
                   << orvo_why_not;                                                       \
    }                                                                                     \
  } while (false)
