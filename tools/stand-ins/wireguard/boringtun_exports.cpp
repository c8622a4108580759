// TEST EQUIPMENT, not boringtun: the six entry points of the WireGuard protocol library the
// service loads, over StandInTunnel, which does NO CRYPTOGRAPHY. Built as libboringtun.so and
// boringtun.dll into test-bin/wireguard-stand-in/, never beside a production build.

#include <cstdint>
#include <cstring>
#include <new>
#include <string_view>

#include "runtime/tunnel_library_tables.h"
#include "stand_in_tunnel.h"

#ifdef _WIN32
#define STAND_IN_EXPORT extern "C" __declspec(dllexport)
#else
#define STAND_IN_EXPORT extern "C" __attribute__((visibility("default")))
#endif

using orvo_stand_in::StandInTunnel;
using orvo_vpn_win_svc::WireGuardResult;

namespace {

// True when `text` is a WireGuard key as the real library accepts it in base64: 32 bytes are
// 42 characters of 6 bits, a 43rd carrying the last 4 bits (its low 2 bits zero), then '='.
bool IsWireGuardKey(const char* text) {
  constexpr std::string_view kAlphabet =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  const std::string_view key = text != nullptr ? text : "";
  return key.size() == 44 && key.find_first_not_of(kAlphabet) == 43 && key[43] == '=' &&
         (kAlphabet.find(key[42]) & 0x3) == 0;
}

// A call on the tunnel, or what every call on a null tunnel gives, as the real library answers.
template <auto kMethod, typename... Arguments>
WireGuardResult Call(void* tunnel, Arguments... arguments) {
  return tunnel == nullptr ? WireGuardResult{StandInTunnel::kError, 0}
                           : (static_cast<StandInTunnel*>(tunnel)->*kMethod)(arguments...);
}

}  // namespace

STAND_IN_EXPORT void* new_tunnel(const char* private_key, const char* server_public_key,
                                 const char* preshared_key, uint16_t /*keep_alive*/,
                                 uint32_t /*index*/) {
  // Keys are checked as the real library checks them; the stand-in does nothing else with them.
  if (!IsWireGuardKey(private_key) || !IsWireGuardKey(server_public_key) ||
      (preshared_key != nullptr && !IsWireGuardKey(preshared_key))) {
    return nullptr;
  }
  return new (std::nothrow) StandInTunnel();
}

STAND_IN_EXPORT WireGuardResult wireguard_write(void* tunnel, const uint8_t* source,
                                                uint32_t source_size, uint8_t* destination,
                                                uint32_t destination_size) {
  return Call<&StandInTunnel::Write>(tunnel, source, source_size, destination, destination_size);
}

STAND_IN_EXPORT WireGuardResult wireguard_read(void* tunnel, const uint8_t* source,
                                               uint32_t source_size, uint8_t* destination,
                                               uint32_t destination_size) {
  return Call<&StandInTunnel::Read>(tunnel, source, source_size, destination, destination_size);
}

STAND_IN_EXPORT WireGuardResult wireguard_tick(void* tunnel, uint8_t* destination,
                                               uint32_t destination_size) {
  return Call<&StandInTunnel::Tick>(tunnel, destination, destination_size);
}

STAND_IN_EXPORT WireGuardResult wireguard_force_handshake(void* tunnel, uint8_t* destination,
                                                          uint32_t destination_size) {
  return Call<&StandInTunnel::ForceHandshake>(tunnel, destination, destination_size);
}

STAND_IN_EXPORT void tunnel_free(void* tunnel) {
  delete static_cast<StandInTunnel*>(tunnel);
}

// Each export has exactly the type the service's function table expects: a table filled from
// them would not compile otherwise.
[[maybe_unused]] constexpr orvo_vpn_win_svc::BoringtunFunctions kExportsFitTheTable{
    &new_tunnel,     &wireguard_write,           &wireguard_read,
    &wireguard_tick, &wireguard_force_handshake, &tunnel_free};
