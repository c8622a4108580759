#include "wintun.h"

#include <string_view>

#include "handle_table.h"
#include "runtime/tunnel_library_tables.h"
#include "tun_adapter.h"
#include "tun_session.h"
#include "windows_error.h"

namespace orvo_vpn_win_svc::wintun {
namespace {

// The tables live as long as the process: a packet thread still calling while the process
// exits finds them intact.
HandleTable<TunAdapter>& Adapters() {
  static auto* const adapters = new HandleTable<TunAdapter>();
  return *adapters;
}

HandleTable<TunSession>& Sessions() {
  static auto* const sessions = new HandleTable<TunSession>();
  return *sessions;
}

template <typename T>
T Fail(uint32_t error, T result) {
  SetLastWindowsError(error);
  return result;
}

}  // namespace
}  // namespace orvo_vpn_win_svc::wintun

using namespace orvo_vpn_win_svc::wintun;

WINTUN_ADAPTER_HANDLE WintunOpenAdapter(const wchar_t* name) {
  if (name == nullptr) {
    return Fail(kErrorInvalidParameter, nullptr);
  }
  uint32_t error = kErrorSuccess;
  std::shared_ptr<TunAdapter> adapter = TunAdapter::Open(name, error);
  if (!adapter) {
    return Fail(error, nullptr);
  }
  return Adapters().Add(std::move(adapter));
}

WINTUN_ADAPTER_HANDLE WintunCreateAdapter(const wchar_t* name, const wchar_t* tunnel_type,
                                          const void* /*requested_guid*/) {
  if (name == nullptr) {
    return Fail(kErrorInvalidParameter, nullptr);
  }
  uint32_t error = kErrorSuccess;
  const std::wstring_view type = tunnel_type != nullptr ? tunnel_type : L"";
  std::shared_ptr<TunAdapter> adapter = TunAdapter::Create(name, type, error);
  if (!adapter) {
    return Fail(error, nullptr);
  }
  return Adapters().Add(std::move(adapter));
}

void WintunCloseAdapter(WINTUN_ADAPTER_HANDLE adapter) {
  const std::shared_ptr<TunAdapter> closed = Adapters().Take(adapter);
  if (!closed) {
    SetLastWindowsError(kErrorInvalidHandle);
    return;
  }
  if (closed->CreatedHere()) {
    closed->Remove();
  }
}

int WintunDeleteAdapter(WINTUN_ADAPTER_HANDLE adapter) {
  const std::shared_ptr<TunAdapter> deleted = Adapters().Take(adapter);
  if (!deleted) {
    return Fail(kErrorInvalidHandle, 0);
  }
  const uint32_t error = deleted->Remove();
  return error == kErrorSuccess ? 1 : Fail(error, 0);
}

WINTUN_SESSION_HANDLE WintunStartSession(WINTUN_ADAPTER_HANDLE adapter, uint32_t capacity) {
  const std::shared_ptr<TunAdapter> found = Adapters().Find(adapter);
  if (!found) {
    return Fail(kErrorInvalidHandle, nullptr);
  }
  uint32_t error = kErrorSuccess;
  std::unique_ptr<TunSession> session = TunSession::Start(*found, capacity, error);
  if (!session) {
    return Fail(error, nullptr);
  }
  return Sessions().Add(std::move(session));
}

void WintunEndSession(WINTUN_SESSION_HANDLE session) {
  if (!Sessions().Take(session)) {
    SetLastWindowsError(kErrorInvalidHandle);
  }
}

uint8_t* WintunReceivePacket(WINTUN_SESSION_HANDLE session, uint32_t* packet_size) {
  const std::shared_ptr<TunSession> found = Sessions().Find(session);
  if (!found) {
    return Fail(kErrorInvalidHandle, nullptr);
  }
  if (packet_size == nullptr) {
    return Fail(kErrorInvalidParameter, nullptr);
  }
  uint32_t error = kErrorSuccess;
  uint8_t* packet = found->Receive(*packet_size, error);
  return packet != nullptr ? packet : Fail(error, nullptr);
}

void WintunReleaseReceivePacket(WINTUN_SESSION_HANDLE session, const uint8_t* packet) {
  const std::shared_ptr<TunSession> found = Sessions().Find(session);
  if (!found || !found->ReleaseReceived(packet)) {
    SetLastWindowsError(found ? kErrorInvalidParameter : kErrorInvalidHandle);
  }
}

uint8_t* WintunAllocateSendPacket(WINTUN_SESSION_HANDLE session, uint32_t packet_size) {
  const std::shared_ptr<TunSession> found = Sessions().Find(session);
  if (!found) {
    return Fail(kErrorInvalidHandle, nullptr);
  }
  uint32_t error = kErrorSuccess;
  uint8_t* packet = found->AllocateSend(packet_size, error);
  return packet != nullptr ? packet : Fail(error, nullptr);
}

void WintunSendPacket(WINTUN_SESSION_HANDLE session, const uint8_t* packet) {
  const std::shared_ptr<TunSession> found = Sessions().Find(session);
  if (!found || !found->Send(packet)) {
    SetLastWindowsError(found ? kErrorInvalidParameter : kErrorInvalidHandle);
  }
}

void WintunGetAdapterLUID(WINTUN_ADAPTER_HANDLE adapter, uint64_t* luid) {
  if (luid == nullptr) {
    SetLastWindowsError(kErrorInvalidParameter);
    return;
  }
  const std::shared_ptr<TunAdapter> found = Adapters().Find(adapter);
  *luid = found ? found->Luid() : 0;
  if (!found) {
    SetLastWindowsError(kErrorInvalidHandle);
  }
}

// Each export has exactly the type the service's function table expects: a table filled from
// them would not compile otherwise.
[[maybe_unused]] constexpr orvo_vpn_win_svc::WintunFunctions kExportsFitTheTable{
    &WintunOpenAdapter,   &WintunCreateAdapter,        &WintunCloseAdapter,
    &WintunDeleteAdapter, &WintunStartSession,         &WintunEndSession,
    &WintunReceivePacket, &WintunReleaseReceivePacket, &WintunAllocateSendPacket,
    &WintunSendPacket,    &WintunGetAdapterLUID};
