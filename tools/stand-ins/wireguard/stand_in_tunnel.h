#pragma once

// TEST EQUIPMENT. The entry points of the WireGuard protocol stand-in (boringtun_exports.cpp),
// for the stand-in server, which speaks through them as the service does.
#include <cstdint>

#include "runtime/tunnel_library_tables.h"

#ifdef _WIN32
#define STAND_IN_EXPORT extern "C" __declspec(dllexport)
#else
#define STAND_IN_EXPORT extern "C" __attribute__((visibility("default")))
#endif

namespace orvo_stand_in {
// The result codes: 0 done (nothing to do), 1 send the bytes to the peer, 2 error, 4 and 6 hand
// the bytes to the tunnel device as an IPv4 or IPv6 packet.
enum : int32_t { kDone, kWriteToNetwork, kError, kWriteToTunnelIpv4 = 4, kWriteToTunnelIpv6 = 6 };
}  // namespace orvo_stand_in

using orvo_vpn_win_svc::WireGuardResult;

STAND_IN_EXPORT void* new_tunnel(const char* private_key, const char* server_public_key,
                                 const char* preshared_key, uint16_t keep_alive, uint32_t index);
STAND_IN_EXPORT WireGuardResult wireguard_write(void* tunnel, const uint8_t* source,
                                                uint32_t source_size, uint8_t* destination,
                                                uint32_t destination_size);
STAND_IN_EXPORT WireGuardResult wireguard_read(void* tunnel, const uint8_t* source,
                                               uint32_t source_size, uint8_t* destination,
                                               uint32_t destination_size);
STAND_IN_EXPORT WireGuardResult wireguard_tick(void* tunnel, uint8_t* destination,
                                               uint32_t destination_size);
STAND_IN_EXPORT WireGuardResult wireguard_force_handshake(void* tunnel, uint8_t* destination,
                                                          uint32_t destination_size);
STAND_IN_EXPORT void tunnel_free(void* tunnel);
