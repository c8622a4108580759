#pragma once

#include <cstddef>
#include <cstdint>

// The function tables of the two libraries the WireGuard tunnel is built on, filled when each
// library is loaded: wintun.dll (adapter and packet rings) and boringtun.dll (the WireGuard
// protocol). The signatures are the libraries' C interfaces; only 64-bit builds exist, where
// Windows has a single calling convention.
static_assert(sizeof(void*) == 8, "the tunnel libraries are loaded by 64-bit builds only");

namespace orvo_vpn_win_svc {

using WintunAdapterHandle = void*;
using WintunSessionHandle = void*;

// Entry points of wintun.dll, in the order they are looked up. DeleteAdapter and GetAdapterLUID
// are optional: they may stay null.
struct WintunFunctions {
  WintunAdapterHandle (*OpenAdapter)(const wchar_t* name) = nullptr;
  WintunAdapterHandle (*CreateAdapter)(const wchar_t* name, const wchar_t* tunnel_type,
                                       const void* requested_guid) = nullptr;
  void (*CloseAdapter)(WintunAdapterHandle adapter) = nullptr;
  int (*DeleteAdapter)(WintunAdapterHandle adapter) = nullptr;
  WintunSessionHandle (*StartSession)(WintunAdapterHandle adapter, uint32_t capacity) = nullptr;
  void (*EndSession)(WintunSessionHandle session) = nullptr;
  uint8_t* (*ReceivePacket)(WintunSessionHandle session, uint32_t* packet_size) = nullptr;
  void (*ReleaseReceivePacket)(WintunSessionHandle session, const uint8_t* packet) = nullptr;
  uint8_t* (*AllocateSendPacket)(WintunSessionHandle session, uint32_t packet_size) = nullptr;
  void (*SendPacket)(WintunSessionHandle session, const uint8_t* packet) = nullptr;
  // The LUID is a NET_LUID: one 64-bit value.
  void (*GetAdapterLUID)(WintunAdapterHandle adapter, uint64_t* luid) = nullptr;
};

// What each boringtun call returns, by value: an operation code and the number of bytes the
// library wrote into the destination buffer.
struct WireGuardResult {
  int32_t op;
  size_t size;
};

// The operation codes the service acts on; every other code is ignored.
enum WireGuardOperation : int32_t {
  kWireGuardWriteToNetwork = 1,  // send the bytes to the server
  kWireGuardWriteToTunnelIpv4 = 4,  // hand the bytes to the adapter as an IPv4 packet
};

using WireGuardTunnel = void*;

// Entry points of boringtun.dll, in the order they are looked up; all are required.
struct BoringtunFunctions {
  WireGuardTunnel (*new_tunnel)(const char* private_key, const char* server_public_key,
                                const char* preshared_key, uint16_t keep_alive,
                                uint32_t index) = nullptr;
  WireGuardResult (*wireguard_write)(WireGuardTunnel tunnel, const uint8_t* source,
                                     uint32_t source_size, uint8_t* destination,
                                     uint32_t destination_size) = nullptr;
  WireGuardResult (*wireguard_read)(WireGuardTunnel tunnel, const uint8_t* source,
                                    uint32_t source_size, uint8_t* destination,
                                    uint32_t destination_size) = nullptr;
  WireGuardResult (*wireguard_tick)(WireGuardTunnel tunnel, uint8_t* destination,
                                    uint32_t destination_size) = nullptr;
  WireGuardResult (*wireguard_force_handshake)(WireGuardTunnel tunnel, uint8_t* destination,
                                               uint32_t destination_size) = nullptr;
  void (*tunnel_free)(WireGuardTunnel tunnel) = nullptr;
};

static_assert(sizeof(WireGuardResult) == 16 && offsetof(WireGuardResult, size) == 8,
              "boringtun returns {int32 op; size_t size} by value");

}  // namespace orvo_vpn_win_svc
