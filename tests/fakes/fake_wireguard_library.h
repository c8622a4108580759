#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>

#include "runtime/tunnel_library_tables.h"

namespace orvo_test {

// A WireGuard tunnel object behind a boringtun function table, for the packet threads. The
// tunnel pointer the table's functions receive is the fake itself. Every call is recorded as one
// line with its sizes ("write 5 65535", "read 7 65535", "tick 4096", "force_handshake 65535").
//
// What the calls give back:
//   force_handshake: the handshake answer (code 1, "handshake" unless changed)
//   tick:            the tick answer (code 0, nothing, unless changed)
//   write:           code 1 with "wrapped:" + the packet; a packet beginning with 'x' gives code 2
//   read:            the datagram says it: "<code>:<bytes>" gives that code and those bytes;
//                    "L:" gives code 4 and claims more bytes than the buffer holds
class FakeWireGuard {
 public:
  struct Answer {
    int32_t op = 0;
    std::string bytes;
  };

  static orvo_vpn_win_svc::BoringtunFunctions Table();
  orvo_vpn_win_svc::WireGuardTunnel Tunnel() { return this; }

  void SetHandshakeAnswer(Answer answer);
  void SetTickAnswer(Answer answer);

  std::string TakeCalls();
  // How many calls so far began with `prefix` ("read", "tick"...).
  int Count(std::string_view prefix) const;

 private:
  orvo_vpn_win_svc::WireGuardResult Give(const Answer& answer, uint8_t* destination,
                                         uint32_t destination_size);
  void Record(const std::string& line);
  // Records `call` and gives a copy of an answer the test may change meanwhile.
  orvo_vpn_win_svc::WireGuardResult GiveStored(const std::string& call, const Answer& stored,
                                               uint8_t* destination, uint32_t destination_size);

  static orvo_vpn_win_svc::WireGuardResult Write(void* tunnel, const uint8_t* source,
                                                 uint32_t source_size, uint8_t* destination,
                                                 uint32_t destination_size);
  static orvo_vpn_win_svc::WireGuardResult Read(void* tunnel, const uint8_t* source,
                                                uint32_t source_size, uint8_t* destination,
                                                uint32_t destination_size);
  static orvo_vpn_win_svc::WireGuardResult Tick(void* tunnel, uint8_t* destination,
                                                uint32_t destination_size);
  static orvo_vpn_win_svc::WireGuardResult ForceHandshake(void* tunnel, uint8_t* destination,
                                                          uint32_t destination_size);

  mutable std::mutex mutex_;
  std::string calls_;
  std::string all_calls_;
  Answer handshake_{1, "handshake"};
  Answer tick_{0, ""};
};

}  // namespace orvo_test
