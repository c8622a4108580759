#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <string>

namespace orvo_stand_in {

// The command line of the WireGuard stand-in server:
//   --tun NAME --address A.B.C.D/PREFIX --port PORT [--mtu MTU]
struct ServerOptions {
  std::string tun_name;
  in_addr address{};
  uint8_t prefix_length = 0;
  uint16_t port = 0;
  uint16_t mtu = 1420;
};

// Fills `options` from the arguments; false with `error` set when they are incomplete or wrong.
bool ParseServerOptions(int argc, char** argv, ServerOptions& options, std::string& error);

}  // namespace orvo_stand_in
