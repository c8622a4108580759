#include "runtime/packet_pump.h"

#include <chrono>
#include <cstring>

#include "platform/log.h"

namespace orvo_vpn_win_svc {
namespace {

using std::chrono::milliseconds;

constexpr milliseconds kEmptyRingPause{1};
constexpr milliseconds kFailedReceivePause{5};
constexpr milliseconds kTimerPeriod{1000};

// A result the pump acts on: the code it wants and a size that fits the buffer the library was
// given (a library that claims more has written past it; nothing of that is passed on).
bool Carries(const WireGuardResult& result, int32_t op, size_t buffer_size) {
  return result.op == op && result.size != 0 && result.size <= buffer_size;
}

}  // namespace

PacketPump::PacketPump(PacketPumpParts parts) : parts_(std::move(parts)) {}

PacketPump::~PacketPump() {
  Join();
}

bool PacketPump::Start() {
  const std::function<void()> bodies[] = {
      [this] { InitialHandshake(); },
      [this] { ReceiveLoop(); },
      [this] { SendLoop(); },
      [this] { TimerLoop(); },
  };
  for (const auto& body : bodies) {
    std::thread thread;
    if (!parts_.start_thread(body, thread)) {
      return false;
    }
    threads_.push_back(std::move(thread));
  }
  return true;
}

void PacketPump::Join() {
  for (std::thread& thread : threads_) {
    if (thread.joinable()) {
      thread.join();
    }
  }
  threads_.clear();
}

bool PacketPump::SendToServer(const std::vector<uint8_t>& buffer, size_t size) {
  platform::UdpSocket* socket = parts_.socket.get();
  if (socket == nullptr) {
    return false;
  }
  socket->Send(std::span<const uint8_t>(buffer.data(), size));
  return true;
}

void PacketPump::InitialHandshake() {
  std::vector<uint8_t> buffer(kDatagramBufferSize);
  const WireGuardResult result =
      parts_.boringtun.wireguard_force_handshake(parts_.tunnel, buffer.data(), kDatagramBufferSize);
  if (result.op == kWireGuardWriteToNetwork && result.size <= buffer.size()) {
    SendToServer(buffer, result.size);
  }
}

void PacketPump::ReceiveLoop() {
  std::vector<uint8_t> datagram(kDatagramBufferSize);
  std::vector<uint8_t> packet(kDatagramBufferSize);
  while (parts_.running.load()) {
    platform::UdpSocket* socket = parts_.socket.get();
    const int64_t received =
        socket == nullptr
            ? -1
            : socket->Receive(std::span<uint8_t>(datagram.data(), kDatagramBufferSize));
    if (received <= 0) {
      parts_.sleeper.Sleep(kFailedReceivePause);
      continue;
    }
    const WireGuardResult result = parts_.boringtun.wireguard_read(
        parts_.tunnel, datagram.data(), static_cast<uint32_t>(received), packet.data(),
        kDatagramBufferSize);
    // Only an IPv4 packet goes into the adapter; a reply the library asks for (code 1) is left
    // to the timer's tick, and IPv6 is dropped.
    if (!Carries(result, kWireGuardWriteToTunnelIpv4, packet.size())) {
      continue;
    }
    const auto size = static_cast<uint32_t>(result.size);
    uint8_t* buffer = parts_.wintun.AllocateSendPacket(parts_.session, size);
    if (buffer != nullptr) {
      std::memcpy(buffer, packet.data(), size);
      parts_.wintun.SendPacket(parts_.session, buffer);
    }
  }
}

void PacketPump::SendLoop() {
  std::vector<uint8_t> datagram(kDatagramBufferSize);
  while (parts_.running.load()) {
    uint32_t size = 0;
    uint8_t* packet = parts_.wintun.ReceivePacket(parts_.session, &size);
    if (packet == nullptr) {
      parts_.sleeper.Sleep(kEmptyRingPause);
      continue;
    }
    const WireGuardResult result = parts_.boringtun.wireguard_write(
        parts_.tunnel, packet, size, datagram.data(), kDatagramBufferSize);
    parts_.wintun.ReleaseReceivePacket(parts_.session, packet);
    if (Carries(result, kWireGuardWriteToNetwork, datagram.size())) {
      SendToServer(datagram, result.size);
    }
  }
}

void PacketPump::TimerLoop() {
  std::vector<uint8_t> timer_buffer(kTimerBufferSize);
  std::vector<uint8_t> handshake_buffer(kDatagramBufferSize);
  uint32_t passes = 0;
  while (parts_.running.load()) {
    parts_.sleeper.Sleep(kTimerPeriod);
    if (parts_.exclusion_route_upkeep) {
      parts_.exclusion_route_upkeep();
    }
    const WireGuardResult tick =
        parts_.boringtun.wireguard_tick(parts_.tunnel, timer_buffer.data(), kTimerBufferSize);
    if (Carries(tick, kWireGuardWriteToNetwork, timer_buffer.size())) {
      SendToServer(timer_buffer, tick.size);
    }
    ++passes;
    if (passes % kForcedHandshakeEvery != 0) {
      continue;
    }
    const WireGuardResult handshake = parts_.boringtun.wireguard_force_handshake(
        parts_.tunnel, handshake_buffer.data(), kDatagramBufferSize);
    if (Carries(handshake, kWireGuardWriteToNetwork, handshake_buffer.size()) &&
        SendToServer(handshake_buffer, handshake.size)) {
      DebugLine(L"ORVO_SVC: forced handshake sent\n");
    }
  }
}

}  // namespace orvo_vpn_win_svc
