// TEST EQUIPMENT, not Wintun: a wintun.dll for Wine, which has no Wintun driver. Adapters live
// in this process's memory only (no network device appears), every adapter reports the same
// fixed LUID, sessions never receive a packet and drop what they are given to send. Failures
// set the thread's last error as Wintun does.

#include <windows.h>

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>

#include "runtime/tunnel_library_tables.h"

namespace {

// IF_TYPE_PROP_VIRTUAL (53) in the type field, interface index 1.
constexpr uint64_t kStandInLuid = (uint64_t{53} << 48) | (uint64_t{1} << 24);

struct Adapter {
  std::wstring name;
};

struct Session {
  std::set<uint8_t*> send_buffers;
};

struct State {
  std::mutex mutex;
  std::map<Adapter*, std::unique_ptr<Adapter>> adapters;
  std::map<Session*, std::unique_ptr<Session>> sessions;
};

State& Shared() {
  static auto* const state = new State();
  return *state;
}

Adapter* FindAdapter(State& state, void* handle) {
  const auto it = state.adapters.find(static_cast<Adapter*>(handle));
  return it == state.adapters.end() ? nullptr : it->second.get();
}

Session* FindSession(State& state, void* handle) {
  const auto it = state.sessions.find(static_cast<Session*>(handle));
  return it == state.sessions.end() ? nullptr : it->second.get();
}

void* AddAdapter(State& state, const wchar_t* name) {
  auto adapter = std::make_unique<Adapter>();
  adapter->name = name;
  Adapter* handle = adapter.get();
  state.adapters.emplace(handle, std::move(adapter));
  return handle;
}

}  // namespace

#define STAND_IN_EXPORT extern "C" __declspec(dllexport)

STAND_IN_EXPORT void* WintunOpenAdapter(const wchar_t* name) {
  State& state = Shared();
  std::lock_guard lock(state.mutex);
  for (const auto& [handle, adapter] : state.adapters) {
    if (name != nullptr && adapter->name == name) {
      return AddAdapter(state, name);
    }
  }
  SetLastError(ERROR_FILE_NOT_FOUND);
  return nullptr;
}

STAND_IN_EXPORT void* WintunCreateAdapter(const wchar_t* name, const wchar_t* /*tunnel_type*/,
                                          const void* /*requested_guid*/) {
  if (name == nullptr || *name == L'\0') {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  State& state = Shared();
  std::lock_guard lock(state.mutex);
  return AddAdapter(state, name);
}

STAND_IN_EXPORT void WintunCloseAdapter(void* adapter) {
  State& state = Shared();
  std::lock_guard lock(state.mutex);
  if (state.adapters.erase(static_cast<Adapter*>(adapter)) == 0) {
    SetLastError(ERROR_INVALID_HANDLE);
  }
}

STAND_IN_EXPORT int WintunDeleteAdapter(void* adapter) {
  State& state = Shared();
  std::lock_guard lock(state.mutex);
  if (state.adapters.erase(static_cast<Adapter*>(adapter)) == 0) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  return TRUE;
}

STAND_IN_EXPORT void* WintunStartSession(void* adapter, uint32_t capacity) {
  State& state = Shared();
  std::lock_guard lock(state.mutex);
  if (FindAdapter(state, adapter) == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  if (capacity < 0x20000 || capacity > 0x4000000 || (capacity & (capacity - 1)) != 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  auto session = std::make_unique<Session>();
  Session* handle = session.get();
  state.sessions.emplace(handle, std::move(session));
  return handle;
}

STAND_IN_EXPORT void WintunEndSession(void* session) {
  State& state = Shared();
  std::lock_guard lock(state.mutex);
  Session* found = FindSession(state, session);
  if (found == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return;
  }
  for (uint8_t* buffer : found->send_buffers) {
    delete[] buffer;
  }
  state.sessions.erase(found);
}

STAND_IN_EXPORT uint8_t* WintunReceivePacket(void* /*session*/, uint32_t* /*packet_size*/) {
  SetLastError(ERROR_NO_MORE_ITEMS);
  return nullptr;
}

STAND_IN_EXPORT void WintunReleaseReceivePacket(void* /*session*/, const uint8_t* /*packet*/) {}

STAND_IN_EXPORT uint8_t* WintunAllocateSendPacket(void* session, uint32_t packet_size) {
  State& state = Shared();
  std::lock_guard lock(state.mutex);
  Session* found = FindSession(state, session);
  if (found == nullptr || packet_size == 0 || packet_size > 0xFFFF) {
    SetLastError(found == nullptr ? ERROR_INVALID_HANDLE : ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  uint8_t* buffer = new uint8_t[packet_size];
  found->send_buffers.insert(buffer);
  return buffer;
}

STAND_IN_EXPORT void WintunSendPacket(void* session, const uint8_t* packet) {
  State& state = Shared();
  std::lock_guard lock(state.mutex);
  Session* found = FindSession(state, session);
  const auto it = found != nullptr ? found->send_buffers.find(const_cast<uint8_t*>(packet))
                                   : std::set<uint8_t*>::iterator{};
  if (found == nullptr || it == found->send_buffers.end()) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return;
  }
  delete[] * it;  // dropped: there is no network behind this adapter
  found->send_buffers.erase(it);
}

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
