#pragma once

#include <cstdint>
#include <string>

#include "support/spawned_program.h"

namespace orvo_test {

// The far end of a WireGuard test network, built inside the caller's own network namespace:
// the stand-in WireGuard server with its TUN device (10.9.0.1/24) in a namespace of its own,
// joined to the caller by a veth pair ("veth-client" kClientAddress/24 here, kServerAddress/24
// there). Linux, as root; the server ends with this object.
class WireGuardPeer {
 public:
  static constexpr char kClientAddress[] = "192.168.77.1";
  static constexpr char kServerAddress[] = "192.168.77.2";
  static constexpr uint16_t kPort = 51820;
  // The keys the stand-in server accepts.
  static constexpr char kClientKey[] = "yAnz5TF+lXXJte14tji3zlMNq+hd2rYUIgJBgB3fBmk=";
  static constexpr char kServerKey[] = "xTIBA5rboUvnH4htodjb6e697QjLERt1NAB4mZqp8Dg=";

  // The legacy configuration (the text after "connect:") of a client of this peer: address
  // 10.9.0.2, the tunnel network routed, MTU 1380.
  static std::string LegacyConfiguration();

  // Starts the server and the veth pair; false (with the server's output in `why`) on failure.
  bool Start(std::string& why);

 private:
  SpawnedProgram server_;
};

}  // namespace orvo_test
