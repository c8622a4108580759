#pragma once

// libwintun.so: the Wintun library's eleven entry points over Linux TUN devices, so the service
// drives its adapter on Linux through the same function table it fills from wintun.dll on
// Windows.
//
//   adapter  a persistent layer-3 TUN device (IFF_TUN | IFF_NO_PI). The adapter name is mapped
//            to an interface name, each space becoming '-' ("ORVO VPN" -> "ORVO-VPN"; at most
//            15 characters, never shortened). The adapter's description, "<tunnel type>
//            (Wintun)", is the link's alias (ifalias), where a clean-up looking for Wintun
//            adapters finds it.
//   LUID     derived from the interface index (platform/posix/linux_luid.h).
//   session  a non-blocking descriptor attached to the device, with a receive ring and a send
//            ring of the requested capacity. Starting one raises the link. One thread may
//            receive and release while another allocates and sends.
//   errors   a call that fails sets errno to a Windows system error code (windows_error.h):
//            the thread's last error, as GetLastError gives it on Windows.
//
// Handles are opaque numbers, not addresses: a closed or foreign handle is refused
// (ERROR_INVALID_HANDLE) instead of being followed.

#include <cstdint>

#define ORVO_WINTUN_EXPORT extern "C" __attribute__((visibility("default")))

using WINTUN_ADAPTER_HANDLE = void*;
using WINTUN_SESSION_HANDLE = void*;

// Finds the TUN device of the adapter `name`; null with ERROR_FILE_NOT_FOUND when there is none.
ORVO_WINTUN_EXPORT WINTUN_ADAPTER_HANDLE WintunOpenAdapter(const wchar_t* name);

// Creates the adapter's TUN device; `requested_guid` has no meaning on Linux and is ignored.
// Null with ERROR_ALREADY_EXISTS when a link of that name exists.
ORVO_WINTUN_EXPORT WINTUN_ADAPTER_HANDLE WintunCreateAdapter(const wchar_t* name,
                                                             const wchar_t* tunnel_type,
                                                             const void* requested_guid);

// Releases the handle; an adapter this handle created is removed, as Wintun does.
ORVO_WINTUN_EXPORT void WintunCloseAdapter(WINTUN_ADAPTER_HANDLE adapter);

// Removes the adapter's device, whichever way it was obtained, and releases the handle (do not
// close it afterwards). A device that is gone already counts as removed. Nonzero on success.
ORVO_WINTUN_EXPORT int WintunDeleteAdapter(WINTUN_ADAPTER_HANDLE adapter);

// `capacity`: a power of two from 0x20000 to 0x4000000, else ERROR_INVALID_PARAMETER. A device
// that has a session attached already gives ERROR_BUSY.
ORVO_WINTUN_EXPORT WINTUN_SESSION_HANDLE WintunStartSession(WINTUN_ADAPTER_HANDLE adapter,
                                                            uint32_t capacity);

ORVO_WINTUN_EXPORT void WintunEndSession(WINTUN_SESSION_HANDLE session);

// One packet from the system, valid until released or the session ends; null with
// ERROR_NO_MORE_ITEMS when none is waiting, ERROR_HANDLE_EOF when the device is gone, or
// ERROR_BUFFER_OVERFLOW when unreleased packets fill the ring.
ORVO_WINTUN_EXPORT uint8_t* WintunReceivePacket(WINTUN_SESSION_HANDLE session,
                                                uint32_t* packet_size);

ORVO_WINTUN_EXPORT void WintunReleaseReceivePacket(WINTUN_SESSION_HANDLE session,
                                                   const uint8_t* packet);

// A buffer for one packet of `packet_size` bytes (1 to 0xFFFF); null with
// ERROR_BUFFER_OVERFLOW when the send ring is full.
ORVO_WINTUN_EXPORT uint8_t* WintunAllocateSendPacket(WINTUN_SESSION_HANDLE session,
                                                     uint32_t packet_size);

// Hands the filled buffer to the system at once (packets go out in the order they are sent).
ORVO_WINTUN_EXPORT void WintunSendPacket(WINTUN_SESSION_HANDLE session, const uint8_t* packet);

// The adapter's LUID; 0 for an unknown handle.
ORVO_WINTUN_EXPORT void WintunGetAdapterLUID(WINTUN_ADAPTER_HANDLE adapter, uint64_t* luid);
