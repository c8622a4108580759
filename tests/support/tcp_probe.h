#pragma once

namespace orvo_test {

// Whether a TCP connection to 127.0.0.1:port is accepted.
bool AcceptsConnections(int port);
// A port on 127.0.0.1 that was free a moment ago.
int FreeLoopbackPort();

}  // namespace orvo_test
