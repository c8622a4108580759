#pragma once

namespace orvo_vpn_win_svc {

// The packet threads of one WireGuard connection, as the runtime sees them: started by the
// connect, and joined by the disconnect after it has cleared the running flag and woken the
// receive thread, before it frees the tunnel and ends the session they use.
class PacketThreads {
 public:
  virtual ~PacketThreads() = default;
  // Returns once every thread has left its loop.
  virtual void Join() = 0;
};

}  // namespace orvo_vpn_win_svc
