#include "fakes/fake_tunnel_libraries.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "fakes/fake_ip_helper.h"
#include "platform/text_encoding.h"

namespace orvo_test {
namespace {

namespace svc = orvo_vpn_win_svc;
using svc::WireGuardResult;

FakeTunnelLibraries* active = nullptr;
int adapter_token = 0;  // the one adapter handle

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

WireGuardResult Give(const std::string& bytes, int32_t op, uint8_t* destination, uint32_t size) {
  const size_t given = std::min<size_t>(bytes.size(), size);
  std::memcpy(destination, bytes.data(), given);
  return {op, given};
}

}  // namespace

class FakeTunnelLibraries::Socket final : public svc::platform::UdpSocket {
 public:
  int64_t Send(std::span<const uint8_t> datagram) override {
    std::lock_guard lock(active->mutex_);
    active->sent_.emplace_back(datagram.begin(), datagram.end());
    return static_cast<int64_t>(datagram.size());
  }
  int64_t Receive(std::span<uint8_t> buffer) override {
    std::unique_lock lock(active->mutex_);
    active->arrived_.wait(lock,
                          [] { return active->socket_closed_ || !active->from_server_.empty(); });
    if (active->socket_closed_) {
      return 0;
    }
    const std::string datagram = active->from_server_.front();
    active->from_server_.pop_front();
    if (datagram == "fail") {
      return -1;
    }
    const size_t size = std::min(datagram.size(), buffer.size());
    std::memcpy(buffer.data(), datagram.data(), size);
    return static_cast<int64_t>(size);
  }
  void Close() override { active->CloseSocket(); }
};

FakeTunnelLibraries::FakeTunnelLibraries() {
  active = this;
}
FakeTunnelLibraries::~FakeTunnelLibraries() {
  active = nullptr;
}

svc::WintunFunctions FakeTunnelLibraries::Wintun() {
  svc::WintunFunctions f;
  f.OpenAdapter = [](const wchar_t* name) -> void* {
    active->calls_.Note("OpenAdapter " + svc::WideToUtf8(name));
    std::lock_guard lock(active->mutex_);
    active->last_error_ = active->adapter_exists ? 0 : 1168;  // ERROR_NOT_FOUND
    return active->adapter_exists ? &adapter_token : nullptr;
  };
  f.CreateAdapter = [](const wchar_t* name, const wchar_t* type, const void* guid) -> void* {
    active->calls_.Note("CreateAdapter " + svc::WideToUtf8(name) + " " + svc::WideToUtf8(type) +
                        (guid ? " guid" : " no-guid"));
    std::lock_guard lock(active->mutex_);
    active->last_error_ = 5;  // ERROR_ACCESS_DENIED
    return active->create_fails ? nullptr : &adapter_token;
  };
  f.CloseAdapter = [](void*) { active->calls_.Note("CloseAdapter"); };
  f.DeleteAdapter = [](void*) {
    active->calls_.Note("DeleteAdapter");
    return 1;
  };
  f.StartSession = [](void*, uint32_t capacity) -> void* {
    active->calls_.Note("StartSession " + std::to_string(capacity));
    std::lock_guard lock(active->mutex_);
    active->last_error_ = 87;  // ERROR_INVALID_PARAMETER
    return active->session_fails ? nullptr : active;
  };
  f.EndSession = [](void*) { active->calls_.Note("EndSession"); };
  f.GetAdapterLUID = [](void*, uint64_t* luid) {
    active->calls_.Note("GetAdapterLUID");
    *luid = kAdapterLuid;
  };
  f.ReceivePacket = [](void*, uint32_t* size) -> uint8_t* {
    std::lock_guard lock(active->mutex_);
    if (active->from_adapter_.empty()) {
      return nullptr;
    }
    auto buffer = std::make_unique<std::vector<uint8_t>>(active->from_adapter_.front().begin(),
                                                         active->from_adapter_.front().end());
    active->from_adapter_.pop_front();
    *size = static_cast<uint32_t>(buffer->size());
    uint8_t* address = buffer->data();
    active->lent_[address] = std::move(buffer);
    ++active->unreleased_;
    return address;
  };
  f.ReleaseReceivePacket = [](void*, const uint8_t* packet) {
    std::lock_guard lock(active->mutex_);
    active->unreleased_ -= static_cast<int>(active->lent_.erase(packet));
  };
  f.AllocateSendPacket = [](void*, uint32_t size) -> uint8_t* {
    if (size > 1500) {
      return nullptr;  // the adapter's ring has no room for it
    }
    auto buffer = std::make_unique<std::vector<uint8_t>>(size);
    uint8_t* address = buffer->data();
    std::lock_guard lock(active->mutex_);
    active->lent_[address] = std::move(buffer);
    return address;
  };
  f.SendPacket = [](void*, const uint8_t* packet) {
    std::lock_guard lock(active->mutex_);
    const auto lent = active->lent_.find(packet);
    active->handed_.emplace_back(lent->second->begin(), lent->second->end());
    active->lent_.erase(lent);
  };
  return f;
}

svc::BoringtunFunctions FakeTunnelLibraries::Boringtun() {
  svc::BoringtunFunctions f;
  f.new_tunnel = [](const char* private_key, const char* public_key, const char* preshared,
                    uint16_t keep_alive, uint32_t index) -> void* {
    active->calls_.Note(std::string("new_tunnel ") + private_key + " " + public_key +
                        (preshared ? " preshared " : " ") + std::to_string(keep_alive) + " " +
                        std::to_string(index));
    return active->tunnel_fails ? nullptr : active;
  };
  f.wireguard_write = [](void*, const uint8_t* source, uint32_t source_size, uint8_t* out,
                         uint32_t out_size) {
    active->packets_.Note("write " + std::to_string(source_size) + " " + std::to_string(out_size));
    const std::string packet(reinterpret_cast<const char*>(source), source_size);
    return packet.starts_with("x") ? WireGuardResult{2, 0}
                                   : Give("wrapped:" + packet, 1, out, out_size);
  };
  f.wireguard_read = [](void*, const uint8_t* source, uint32_t source_size, uint8_t* out,
                        uint32_t out_size) {
    active->packets_.Note("read " + std::to_string(source_size) + " " + std::to_string(out_size));
    const std::string datagram(reinterpret_cast<const char*>(source), source_size);
    {
      std::lock_guard lock(active->mutex_);
      ++active->reads_;
    }
    if (datagram.starts_with("L:")) {
      return WireGuardResult{4, size_t{out_size} + 1};
    }
    return Give(datagram.substr(2), datagram[0] - '0', out, out_size);
  };
  f.wireguard_tick = [](void*, uint8_t* out, uint32_t out_size) {
    active->packets_.Note("tick " + std::to_string(out_size));
    std::lock_guard lock(active->mutex_);
    const std::string& answer = active->tick_answer;
    return Give(answer, answer.empty() ? 0 : answer.starts_with("x") ? 2 : 1, out, out_size);
  };
  f.wireguard_force_handshake = [](void*, uint8_t* out, uint32_t out_size) {
    active->packets_.Note("force_handshake " + std::to_string(out_size));
    return Give("handshake", 1, out, out_size);
  };
  f.tunnel_free = [](void*) { active->calls_.Note("tunnel_free"); };
  return f;
}

svc::LibraryLoader FakeTunnelLibraries::Loader() {
  return [this](const std::wstring& file_name) {
    calls_.Note("load " + svc::WideToUtf8(file_name));
    svc::platform::LibraryLoad load;
    if (unloadable.count(file_name) != 0) {
      load.error = 126;
      return load;
    }
    // Both libraries export every entry point: the service looks up only its own in each.
    const svc::WintunFunctions w = Wintun();
    const svc::BoringtunFunctions b = Boringtun();
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
  socket_closed_ = false;
  sent_.clear();
  opening.socket = std::make_unique<Socket>();
  return opening;
}

void FakeTunnelLibraries::FromAdapter(const std::string& packet) {
  std::lock_guard lock(mutex_);
  from_adapter_.push_back(packet);
}

void FakeTunnelLibraries::FromServer(const std::string& datagram) {
  std::lock_guard lock(mutex_);
  from_server_.push_back(datagram);
  arrived_.notify_all();
}

void FakeTunnelLibraries::CloseSocket() {
  std::lock_guard lock(mutex_);
  socket_closed_ = true;
  arrived_.notify_all();
}

}  // namespace orvo_test
