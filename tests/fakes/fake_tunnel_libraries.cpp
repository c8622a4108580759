#include "fakes/fake_tunnel_libraries.h"

#include <cstring>
#include <map>
#include <utility>

#include "fakes/fake_ip_helper.h"
#include "platform/text_encoding.h"

namespace orvo_test {
namespace {

namespace svc = orvo_vpn_win_svc;
using svc::WireGuardResult;

FakeTunnelLibraries* active = nullptr;
int adapter_token = 0;  // the one adapter handle, and the session and tunnel object

class FakeLibrary final : public svc::platform::DynamicLibrary {
 public:
  explicit FakeLibrary(std::map<std::string, void*> symbols) : symbols_(std::move(symbols)) {}
  void* Symbol(const char* name) const override {
    const auto found = symbols_.find(name);
    return found == symbols_.end() ? nullptr : found->second;
  }

 private:
  std::map<std::string, void*> symbols_;
};

template <typename Function>
void* Address(Function* function) {
  return reinterpret_cast<void*>(function);
}

}  // namespace

class FakeTunnelLibraries::Socket final : public svc::platform::UdpSocket {
 public:
  int64_t Send(std::span<const uint8_t> datagram) override {
    std::lock_guard lock(active->mutex_);
    ++active->sent_;
    return static_cast<int64_t>(datagram.size());
  }
  // No server ever answers: the socket reads as closed.
  int64_t Receive(std::span<uint8_t>) override { return 0; }
  void Close() override {}
};

FakeTunnelLibraries::FakeTunnelLibraries() {
  active = this;
}
FakeTunnelLibraries::~FakeTunnelLibraries() {
  active = nullptr;
}

uint32_t FakeTunnelLibraries::LastError() const {
  std::lock_guard lock(mutex_);
  return last_error_;
}

int FakeTunnelLibraries::SentToServer() const {
  std::lock_guard lock(mutex_);
  return sent_;
}

svc::LibraryLoader FakeTunnelLibraries::Loader() {
  return [this](const std::wstring& file_name) {
    calls_.Note("load " + svc::WideToUtf8(file_name));
    svc::platform::LibraryLoad load;
    if (unloadable.count(file_name) != 0) {
      load.error = 126;
      return load;
    }
    svc::WintunFunctions w;
    w.OpenAdapter = [](const wchar_t* name) -> void* {
      active->calls_.Note("OpenAdapter " + svc::WideToUtf8(name));
      std::lock_guard lock(active->mutex_);
      active->last_error_ = active->adapter_exists ? 0 : 1168;  // ERROR_NOT_FOUND
      return active->adapter_exists ? &adapter_token : nullptr;
    };
    w.CreateAdapter = [](const wchar_t* name, const wchar_t* type, const void* guid) -> void* {
      active->calls_.Note("CreateAdapter " + svc::WideToUtf8(name) + " " +
                          svc::WideToUtf8(type) + (guid ? " guid" : " no-guid"));
      std::lock_guard lock(active->mutex_);
      active->last_error_ = 5;  // ERROR_ACCESS_DENIED
      return active->create_fails ? nullptr : &adapter_token;
    };
    w.CloseAdapter = [](void*) { active->calls_.Note("CloseAdapter"); };
    w.DeleteAdapter = [](void*) {
      active->calls_.Note("DeleteAdapter");
      return 1;
    };
    w.StartSession = [](void*, uint32_t capacity) -> void* {
      active->calls_.Note("StartSession " + std::to_string(capacity));
      std::lock_guard lock(active->mutex_);
      active->last_error_ = 87;  // ERROR_INVALID_PARAMETER
      return active->session_fails ? nullptr : &adapter_token;
    };
    w.EndSession = [](void*) { active->calls_.Note("EndSession"); };
    w.GetAdapterLUID = [](void*, uint64_t* luid) {
      active->calls_.Note("GetAdapterLUID");
      *luid = kAdapterLuid;
    };
    w.ReceivePacket = [](void*, uint32_t*) -> uint8_t* { return nullptr; };
    w.ReleaseReceivePacket = [](void*, const uint8_t*) {};
    w.AllocateSendPacket = [](void*, uint32_t) -> uint8_t* { return nullptr; };
    w.SendPacket = [](void*, const uint8_t*) {};
    svc::BoringtunFunctions b;
    b.new_tunnel = [](const char* private_key, const char* public_key, const char* preshared,
                      uint16_t keep_alive, uint32_t index) -> void* {
      active->calls_.Note(std::string("new_tunnel ") + private_key + " " + public_key +
                          (preshared ? " preshared " : " ") + std::to_string(keep_alive) + " " +
                          std::to_string(index));
      return active->tunnel_fails ? nullptr : &adapter_token;
    };
    // Packets never come: writes and reads are refused.
    b.wireguard_write = [](void*, const uint8_t*, uint32_t, uint8_t*, uint32_t) {
      return WireGuardResult{2, 0};
    };
    b.wireguard_read = b.wireguard_write;
    b.wireguard_tick = [](void*, uint8_t*, uint32_t) { return WireGuardResult{0, 0}; };
    b.wireguard_force_handshake = [](void*, uint8_t* out, uint32_t) {
      std::memcpy(out, "handshake", 9);
      return WireGuardResult{1, 9};
    };
    b.tunnel_free = [](void*) { active->calls_.Note("tunnel_free"); };
    // Both libraries export every entry point: the service looks up only its own in each.
    std::map<std::string, void*> symbols = {
        {"WintunOpenAdapter", Address(w.OpenAdapter)},
        {"WintunCreateAdapter", Address(w.CreateAdapter)},
        {"WintunCloseAdapter", Address(w.CloseAdapter)},
        {"WintunDeleteAdapter", Address(w.DeleteAdapter)},
        {"WintunStartSession", Address(w.StartSession)},
        {"WintunEndSession", Address(w.EndSession)},
        {"WintunReceivePacket", Address(w.ReceivePacket)},
        {"WintunReleaseReceivePacket", Address(w.ReleaseReceivePacket)},
        {"WintunAllocateSendPacket", Address(w.AllocateSendPacket)},
        {"WintunSendPacket", Address(w.SendPacket)},
        {"WintunGetAdapterLUID", Address(w.GetAdapterLUID)},
        {"new_tunnel", Address(b.new_tunnel)},
        {"wireguard_write", Address(b.wireguard_write)},
        {"wireguard_read", Address(b.wireguard_read)},
        {"wireguard_tick", Address(b.wireguard_tick)},
        {"wireguard_force_handshake", Address(b.wireguard_force_handshake)},
        {"tunnel_free", Address(b.tunnel_free)}};
    for (const std::string& name : missing) {
      symbols.erase(name);
    }
    load.library = std::make_unique<FakeLibrary>(std::move(symbols));
    return load;
  };
}

svc::platform::UdpSocketOpening FakeTunnelLibraries::OpenSocket(
    const svc::platform::IpAddress& server, uint16_t port) {
  calls_.Note("socket " + FakeIpHelper::Describe(server) + ":" + std::to_string(port));
  svc::platform::UdpSocketOpening opening;
  if (socket_fails != svc::platform::UdpSocketOpening::Step::kNone) {
    opening.failed_step = socket_fails;
    opening.error = 10013;  // WSAEACCES
    return opening;
  }
  std::lock_guard lock(mutex_);
  sent_ = 0;
  opening.socket = std::make_unique<Socket>();
  return opening;
}

}  // namespace orvo_test
