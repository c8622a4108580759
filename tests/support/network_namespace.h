#pragma once

#include <functional>
#include <string>

// Linux only.
namespace orvo_test {

// Runs `body` on a thread of its own inside a fresh network namespace (loopback raised), so
// links it creates or deletes never touch the host's. Processes the body starts live in that
// namespace too. Returns false with `why_not` set when that is impossible (not root).
bool RunInOwnNetworkNamespace(const std::function<void()>& body, std::string& why_not);
// The same, where TUN devices can also be made (with /dev/net/tun).
bool RunInNamespaceWithTun(const std::function<void()>& body, std::string& why_not);

// Runs a shell command (in the caller's network namespace) and returns its exit status (Linux).
int RunShell(const std::string& command);

// The standard output of a shell command run in the caller's network namespace; its exit status
// (-1 when a signal ended it) in `status` when given (Linux).
std::string ShellOutput(const std::string& command, int* status = nullptr);

}  // namespace orvo_test
