#pragma once

#include <netinet/in.h>

#include <atomic>
#include <cstdint>
#include <vector>

#include "platform/posix/file_descriptor.h"
#include "stand_in_tunnel.h"

namespace orvo_stand_in {

// TEST EQUIPMENT. The peer of a client that uses the WireGuard protocol stand-in: it answers
// handshakes, hands the packets it unwraps to its own TUN device, and wraps what that device
// gives for the last peer heard from. One peer at a time; no cryptography.
class StandInServer {
 public:
  StandInServer(orvo_vpn_win_svc::platform::FileDescriptor udp,
                orvo_vpn_win_svc::platform::FileDescriptor tun);

  // Moves packets until `stop` is set (checked at least twice a second).
  void Run(const std::atomic<bool>& stop);

 private:
  void ReadDatagrams();
  void ReadTunPackets();

  orvo_vpn_win_svc::platform::FileDescriptor udp_;
  orvo_vpn_win_svc::platform::FileDescriptor tun_;
  StandInTunnel tunnel_{0};
  std::vector<uint8_t> in_;
  std::vector<uint8_t> out_;
  sockaddr_in peer_{};
  bool have_peer_ = false;
};

}  // namespace orvo_stand_in
