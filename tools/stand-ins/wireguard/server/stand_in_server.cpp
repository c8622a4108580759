#include "stand_in_server.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

namespace orvo_stand_in {

using orvo_vpn_win_svc::platform::FileDescriptor;

namespace {
constexpr size_t kBufferSize = 65536;
}  // namespace

StandInServer::StandInServer(FileDescriptor udp, FileDescriptor tun)
    : udp_(std::move(udp)), tun_(std::move(tun)), in_(kBufferSize), out_(kBufferSize) {}

void StandInServer::Run(const std::atomic<bool>& stop) {
  pollfd watched[2] = {{udp_.Get(), POLLIN, 0}, {tun_.Get(), POLLIN, 0}};
  while (!stop.load()) {
    if (poll(watched, 2, 500) <= 0) {
      continue;  // timeout, or a signal (which may have set `stop`)
    }
    if ((watched[0].revents & POLLIN) != 0) {
      ReadDatagrams();
    }
    if ((watched[1].revents & POLLIN) != 0) {
      ReadTunPackets();
    }
  }
}

// Both descriptors are non-blocking: each read drains what is waiting.
void StandInServer::ReadDatagrams() {
  for (;;) {
    sockaddr_in from{};
    socklen_t from_size = sizeof(from);
    const ssize_t size = recvfrom(udp_.Get(), in_.data(), in_.size(), MSG_DONTWAIT,
                                  reinterpret_cast<sockaddr*>(&from), &from_size);
    if (size < 0) {
      return;
    }
    const WireGuardResult result = tunnel_.Read(in_.data(), static_cast<uint32_t>(size),
                                                out_.data(), static_cast<uint32_t>(out_.size()));
    if (result.op == StandInTunnel::kError) {
      continue;  // not ours; the peer stays who it was
    }
    peer_ = from;
    have_peer_ = true;
    if (result.op == StandInTunnel::kWriteToNetwork) {
      sendto(udp_.Get(), out_.data(), result.size, 0, reinterpret_cast<sockaddr*>(&peer_),
             sizeof(peer_));
    } else if (result.op == StandInTunnel::kWriteToTunnelIpv4 ||
               result.op == StandInTunnel::kWriteToTunnelIpv6) {
      if (write(tun_.Get(), out_.data(), result.size) < 0) {
        continue;  // the device refused the packet: dropped, as a full queue would drop it
      }
    }
  }
}

void StandInServer::ReadTunPackets() {
  for (;;) {
    const ssize_t size = read(tun_.Get(), in_.data(), in_.size());
    if (size <= 0) {
      return;
    }
    if (!have_peer_) {
      continue;  // nobody to send it to yet
    }
    const WireGuardResult result = tunnel_.Write(in_.data(), static_cast<uint32_t>(size),
                                                 out_.data(), static_cast<uint32_t>(out_.size()));
    if (result.op == StandInTunnel::kWriteToNetwork) {
      sendto(udp_.Get(), out_.data(), result.size, 0, reinterpret_cast<sockaddr*>(&peer_),
             sizeof(peer_));
    }
  }
}

}  // namespace orvo_stand_in
