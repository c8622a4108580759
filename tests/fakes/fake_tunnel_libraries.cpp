#include "fakes/fake_tunnel_libraries.h"

#include <functional>
#include <map>

#include "fakes/fake_ip_helper.h"
#include "platform/text_encoding.h"

namespace orvo_test {
namespace {

namespace svc = orvo_vpn_win_svc;

FakeTunnelLibraries* active = nullptr;
int adapter_token = 0;  // the one adapter handle

// A loaded library whose symbols are the fakes' entry points, less the missing ones; it reports
// its unloading.
class FakeLibrary final : public svc::platform::DynamicLibrary {
 public:
  FakeLibrary(std::map<std::string, void*> symbols, const std::set<std::string>& missing,
              std::function<void()> on_unload)
      : symbols_(std::move(symbols)), on_unload_(std::move(on_unload)) {
    for (const std::string& name : missing) {
      symbols_.erase(name);
    }
  }
  ~FakeLibrary() override { on_unload_(); }
  FakeLibrary(const FakeLibrary&) = delete;
  FakeLibrary& operator=(const FakeLibrary&) = delete;
  void* Symbol(const char* name) const override {
    const auto found = symbols_.find(name);
    return found == symbols_.end() ? nullptr : found->second;
  }

 private:
  std::map<std::string, void*> symbols_;
  std::function<void()> on_unload_;
};

template <typename Function>
void* Address(Function* function) {
  return reinterpret_cast<void*>(function);
}

}  // namespace

FakeTunnelLibraries::FakeTunnelLibraries() {
  active = this;
}

FakeTunnelLibraries::~FakeTunnelLibraries() {
  active = nullptr;
}

svc::LibraryLoader FakeTunnelLibraries::Loader() {
  return [this](const std::wstring& file_name) {
    Record("load " + svc::WideToUtf8(file_name));
    svc::platform::LibraryLoad load;
    if (unloadable.count(file_name) != 0) {
      load.error = 126;
      return load;
    }
    const svc::WintunFunctions packets = FakeWintunSession::Table();
    const svc::BoringtunFunctions protocol = FakeWireGuard::Table();
    std::map<std::string, void*> symbols;
    if (file_name == L"wintun.dll") {
      symbols = {{"WintunOpenAdapter", Address(&OpenAdapter)},
                 {"WintunCreateAdapter", Address(&CreateAdapter)},
                 {"WintunCloseAdapter", Address(&CloseAdapter)},
                 {"WintunDeleteAdapter", Address(&DeleteAdapter)},
                 {"WintunStartSession", Address(&StartSession)},
                 {"WintunEndSession", Address(&EndSession)},
                 {"WintunReceivePacket", Address(packets.ReceivePacket)},
                 {"WintunReleaseReceivePacket", Address(packets.ReleaseReceivePacket)},
                 {"WintunAllocateSendPacket", Address(packets.AllocateSendPacket)},
                 {"WintunSendPacket", Address(packets.SendPacket)},
                 {"WintunGetAdapterLUID", Address(&GetAdapterLuid)}};
    } else {
      symbols = {{"new_tunnel", Address(&NewTunnel)},
                 {"wireguard_write", Address(protocol.wireguard_write)},
                 {"wireguard_read", Address(protocol.wireguard_read)},
                 {"wireguard_tick", Address(protocol.wireguard_tick)},
                 {"wireguard_force_handshake", Address(protocol.wireguard_force_handshake)},
                 {"tunnel_free", Address(&TunnelFree)}};
    }
    load.library = std::make_unique<FakeLibrary>(std::move(symbols), missing, [file_name] {
      if (active != nullptr) {
        active->Record("unload " + svc::WideToUtf8(file_name));
      }
    });
    return load;
  };
}

uint32_t FakeTunnelLibraries::LastError() const {
  std::lock_guard lock(mutex_);
  return last_error_;
}

svc::platform::UdpSocketOpening FakeTunnelLibraries::OpenSocket(
    const svc::platform::IpAddress& server, uint16_t port) {
  Record("socket " + FakeIpHelper::Describe(server) + ":" + std::to_string(port));
  svc::platform::UdpSocketOpening opening;
  if (socket_fails != svc::platform::UdpSocketOpening::Step::kNone) {
    opening.failed_step = socket_fails;
    opening.error = 10013;  // WSAEACCES
    return opening;
  }
  auto socket = std::make_unique<FakeUdpSocket>();
  std::lock_guard lock(mutex_);
  socket_ = socket.get();
  opening.socket = std::move(socket);
  return opening;
}

std::string FakeTunnelLibraries::TakeCalls() {
  std::lock_guard lock(mutex_);
  std::string calls;
  calls.swap(calls_);
  return calls;
}

FakeUdpSocket* FakeTunnelLibraries::Socket() const {
  std::lock_guard lock(mutex_);
  return socket_;
}

bool FakeTunnelLibraries::AdapterOpen() const {
  std::lock_guard lock(mutex_);
  return adapter_open_;
}

void FakeTunnelLibraries::Record(const std::string& line) {
  std::lock_guard lock(mutex_);
  calls_ += line + "\n";
}

void* FakeTunnelLibraries::OpenAdapter(const wchar_t* name) {
  active->Record("OpenAdapter " + svc::WideToUtf8(name));
  std::lock_guard lock(active->mutex_);
  if (!active->adapter_exists) {
    active->last_error_ = kAdapterError;
    return nullptr;
  }
  active->adapter_open_ = true;
  return &adapter_token;
}

void* FakeTunnelLibraries::CreateAdapter(const wchar_t* name, const wchar_t* type,
                                         const void* guid) {
  active->Record("CreateAdapter " + svc::WideToUtf8(name) + " " + svc::WideToUtf8(type) +
                 (guid == nullptr ? " no-guid" : " guid"));
  std::lock_guard lock(active->mutex_);
  if (active->create_fails) {
    active->last_error_ = 5;  // ERROR_ACCESS_DENIED
    return nullptr;
  }
  active->adapter_open_ = true;
  return &adapter_token;
}

void FakeTunnelLibraries::CloseAdapter(void* adapter) {
  active->Record(adapter == &adapter_token ? "CloseAdapter" : "CloseAdapter bad handle");
  std::lock_guard lock(active->mutex_);
  active->adapter_open_ = false;
}

int FakeTunnelLibraries::DeleteAdapter(void* adapter) {
  active->Record(adapter == &adapter_token ? "DeleteAdapter" : "DeleteAdapter bad handle");
  std::lock_guard lock(active->mutex_);
  active->adapter_open_ = false;
  return 1;
}

void* FakeTunnelLibraries::StartSession(void* adapter, uint32_t capacity) {
  active->Record("StartSession " + std::to_string(capacity) +
                 (adapter == &adapter_token ? "" : " bad handle"));
  std::lock_guard lock(active->mutex_);
  if (active->session_fails) {
    active->last_error_ = 87;  // ERROR_INVALID_PARAMETER
    return nullptr;
  }
  return active->session.Session();
}

void FakeTunnelLibraries::EndSession(void* session) {
  active->Record(session == active->session.Session() ? "EndSession" : "EndSession bad handle");
}

void FakeTunnelLibraries::GetAdapterLuid(void* /*adapter*/, uint64_t* luid) {
  active->Record("GetAdapterLUID");
  *luid = kAdapterLuid;
}

void* FakeTunnelLibraries::NewTunnel(const char* private_key, const char* public_key,
                                     const char* preshared, uint16_t keep_alive, uint32_t index) {
  active->Record(std::string("new_tunnel ") + private_key + " " + public_key +
                 (preshared == nullptr ? "" : " preshared") + " " + std::to_string(keep_alive) +
                 " " + std::to_string(index));
  if (active->tunnel_fails) {
    return nullptr;
  }
  return active->wireguard.Tunnel();
}

void FakeTunnelLibraries::TunnelFree(void* tunnel) {
  active->Record(tunnel == active->wireguard.Tunnel() ? "tunnel_free" : "tunnel_free bad handle");
}

}  // namespace orvo_test
