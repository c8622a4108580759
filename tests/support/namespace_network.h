#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include "support/udp_test_socket.h"

namespace orvo_test {

// Helpers for tests that work with links, addresses and packets inside their own network
// namespace on Linux (see network_namespace.h). Elsewhere they fail (empty, 0, false); the
// tests that use them skip before they get there.

// The standard output of a shell command run in the caller's network namespace.
std::string ShellOutput(const std::string& command);

// The index of the link `name` as `ip` reports it; 0 when there is no such link.
int LinkIndex(const std::string& name);

// Open descriptors and threads of this process, to show that nothing leaked; -1 when unknown.
int CountOpenDescriptors();
int CountThreads();

// Sends one ICMP echo request to `address` and waits up to `timeout` for its reply.
bool Ping(const std::string& address, std::chrono::milliseconds timeout);

}  // namespace orvo_test
