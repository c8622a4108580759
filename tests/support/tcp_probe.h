#pragma once

#include <chrono>
#include <string>

namespace orvo_test {

enum class ConnectOutcome { kConnected, kRefused, kTimedOut };

// A TCP connect to `address` (IPv4 or IPv6 literal) and `port`, given up after `timeout`.
// Linux only; elsewhere kRefused.
ConnectOutcome TryConnect(const std::string& address, int port, std::chrono::milliseconds timeout);

// Whether a TCP connection to 127.0.0.1:port is accepted.
bool AcceptsConnections(int port);
// A port on 127.0.0.1 that was free a moment ago.
int FreeLoopbackPort();

}  // namespace orvo_test
