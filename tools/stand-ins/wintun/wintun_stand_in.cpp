// TEST EQUIPMENT, not Wintun: a wintun.dll for Wine, which has no Wintun driver. Adapters live
// in this process's memory only (no network device appears), every adapter reports the same
// fixed LUID, sessions never receive a packet and drop what they are given to send. Failures
// set the thread's last error as Wintun does.

#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>

#include "runtime/tunnel_library_tables.h"

namespace {

// IF_TYPE_PROP_VIRTUAL (53) in the type field, interface index 1.
constexpr uint64_t kStandInLuid = (uint64_t{53} << 48) | (uint64_t{1} << 24);

// Handles are numbers that count up from 1; an adapter's maps to its name, a session's to "".
std::mutex g_mutex;
uintptr_t g_last_handle = 0;
auto& g_handles = *new std::map<uintptr_t, std::wstring>();  // never destroyed: no unload race

// True when `handle` is an adapter's (or, with `session`, a session's).
bool Known(const void* handle, bool session = false) {
  const auto found = g_handles.find(reinterpret_cast<uintptr_t>(handle));
  return found != g_handles.end() && found->second.empty() == session;
}

void* Add(const std::wstring& name) {
  g_handles[++g_last_handle] = name;
  return reinterpret_cast<void*>(g_last_handle);
}

template <typename T>
T Fail(DWORD error, T result) {
  SetLastError(error);
  return result;
}

}  // namespace

#define STAND_IN_EXPORT extern "C" __declspec(dllexport)
#define LOCKED std::lock_guard lock(g_mutex)

STAND_IN_EXPORT void* WintunOpenAdapter(const wchar_t* name) {
  LOCKED;
  const bool known =
      name != nullptr && *name != 0 &&
      std::ranges::any_of(g_handles, [&](const auto& h) { return h.second == name; });
  return known ? Add(name) : Fail<void*>(ERROR_FILE_NOT_FOUND, nullptr);
}

STAND_IN_EXPORT void* WintunCreateAdapter(const wchar_t* name, const wchar_t* /*tunnel_type*/,
                                          const void* /*requested_guid*/) {
  LOCKED;
  return Add(name);
}

STAND_IN_EXPORT int WintunDeleteAdapter(void* adapter) {
  LOCKED;
  return Known(adapter) && g_handles.erase(reinterpret_cast<uintptr_t>(adapter)) != 0
             ? TRUE
             : Fail(ERROR_INVALID_HANDLE, FALSE);
}

STAND_IN_EXPORT void WintunCloseAdapter(void* adapter) {
  WintunDeleteAdapter(adapter);
}

STAND_IN_EXPORT void* WintunStartSession(void* adapter, uint32_t capacity) {
  LOCKED;
  if (!Known(adapter) || capacity < 0x20000 || capacity > 0x4000000 ||
      (capacity & (capacity - 1)) != 0) {
    return Fail<void*>(ERROR_INVALID_PARAMETER, nullptr);
  }
  return Add(L"");
}

STAND_IN_EXPORT void WintunEndSession(void* session) {
  LOCKED;
  if (!Known(session, true) || g_handles.erase(reinterpret_cast<uintptr_t>(session)) == 0) {
    SetLastError(ERROR_INVALID_HANDLE);
  }
}

STAND_IN_EXPORT uint8_t* WintunReceivePacket(void* /*session*/, uint32_t* /*packet_size*/) {
  return Fail<uint8_t*>(ERROR_NO_MORE_ITEMS, nullptr);
}

STAND_IN_EXPORT void WintunReleaseReceivePacket(void* /*session*/, const uint8_t* /*packet*/) {}

// A packet to send is written into a buffer of the sending thread's own and dropped: there is
// no network behind this adapter. A plain array: with mingw-w64 a thread_local object's
// destructor runs after its storage has been freed.
STAND_IN_EXPORT uint8_t* WintunAllocateSendPacket(void* session, uint32_t packet_size) {
  thread_local uint8_t buffer[0xFFFF];
  LOCKED;
  if (!Known(session, true) || packet_size == 0 || packet_size > 0xFFFF) {
    return Fail<uint8_t*>(ERROR_INVALID_PARAMETER, nullptr);
  }
  return buffer;
}

STAND_IN_EXPORT void WintunSendPacket(void* /*session*/, const uint8_t* /*packet*/) {}

STAND_IN_EXPORT void WintunGetAdapterLUID(void* /*adapter*/, uint64_t* luid) {
  if (luid != nullptr) {
    *luid = kStandInLuid;
  }
}

// Each export has exactly the type the service's function table expects: a table filled from
// them would not compile otherwise.
[[maybe_unused]] constexpr orvo_vpn_win_svc::WintunFunctions kExportsFitTheTable{
    &WintunOpenAdapter,   &WintunCreateAdapter,        &WintunCloseAdapter,
    &WintunDeleteAdapter, &WintunStartSession,         &WintunEndSession,
    &WintunReceivePacket, &WintunReleaseReceivePacket, &WintunAllocateSendPacket,
    &WintunSendPacket,    &WintunGetAdapterLUID};
