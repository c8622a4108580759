// TEST EQUIPMENT: the WireGuard stand-in server. It speaks the stand-in protocol (no
// cryptography) over UDP and owns a TUN device of its own (MTU 1420), so a client in another
// network namespace can reach that device's address through the tunnel (the benchmark sets
// another MTU with --mtu). It answers handshakes,
// hands the packets it unwraps to its device, and wraps what the device gives for the last peer
// heard from. Writes one "ready" line on standard output once it listens; runs until a signal
// ends it (its device goes with it).
//
//   wireguard-stand-in-server --tun NAME --address A.B.C.D/PREFIX --port PORT [--mtu MTU]

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "platform/posix/wintun/tun_device.h"
#include "stand_in_tunnel.h"

namespace {

using namespace orvo_stand_in;
using orvo_vpn_win_svc::platform::FileDescriptor;

int Fail(const std::string& text, int code = 1) {
  std::fprintf(stderr, "wireguard-stand-in-server: %s\n", text.c_str());
  return code;
}

}  // namespace

int main(int argc, char** argv) {
  std::map<std::string, std::string> options = {{"--mtu", "1420"}};
  for (int i = 1; i + 1 < argc; i += 2) {
    options[argv[i]] = argv[i + 1];
  }
  const std::string tun_name = options["--tun"];
  const std::string address = options["--address"];  // checked by "ip addr add"
  const unsigned long port = std::strtoul(options["--port"].c_str(), nullptr, 10);
  const unsigned long mtu = std::strtoul(options["--mtu"].c_str(), nullptr, 10);
  if (argc % 2 == 0 || options.size() != 4 || tun_name.empty() || address.empty() || port == 0 ||
      port > 65535 || mtu < 576 || mtu > 65535) {
    return Fail("usage: --tun NAME --address A.B.C.D/PREFIX --port PORT [--mtu MTU]", 2);
  }
  // The device goes when its descriptor closes with the process; reads do not block.
  orvo_vpn_win_svc::wintun::TunAttachment tun;
  if (const int attached = orvo_vpn_win_svc::wintun::AttachTunDevice(tun_name, true, tun)) {
    return Fail("cannot create TUN device " + tun_name + ": " + std::strerror(attached));
  }
  if (std::system(("ip addr add " + address + " dev " + tun_name + " && ip link set " + tun_name +
                   " mtu " + std::to_string(mtu) + " up")
                      .c_str()) != 0) {
    return Fail("cannot configure " + tun_name);
  }
  const FileDescriptor udp(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  sockaddr_in local{AF_INET, htons(static_cast<uint16_t>(port)), {}, {}};
  if (!udp.Valid() || bind(udp.Get(), reinterpret_cast<sockaddr*>(&local), sizeof(local)) != 0) {
    return Fail("cannot listen on UDP port " + std::to_string(port) + ": " + std::strerror(errno));
  }
  std::printf("wireguard stand-in server ready: udp port %lu, tun %s\n", port, tun_name.c_str());
  std::fflush(stdout);

  // The server's keys are never checked: any valid one will do.
  constexpr char kKey[] = "xTIBA5rboUvnH4htodjb6e697QjLERt1NAB4mZqp8Dg=";
  void* const tunnel = new_tunnel(kKey, kKey, nullptr, 0, 0);
  std::vector<uint8_t> in(65536), out(65536);
  sockaddr_in peer{};  // the last peer heard from; none before the first datagram of ours
  pollfd watched[2] = {{udp.Get(), POLLIN, 0}, {tun.descriptor.Get(), POLLIN, 0}};
  for (;;) {
    if (poll(watched, 2, -1) <= 0) {
      continue;
    }
    // Both descriptors are non-blocking: each read drains what is waiting. A packet the device
    // refuses is dropped, as a full queue would drop it.
    sockaddr_in from{};
    socklen_t from_size = sizeof(from);
    for (ssize_t size; (watched[0].revents & POLLIN) != 0 &&
                       (size = recvfrom(udp.Get(), in.data(), in.size(), MSG_DONTWAIT,
                                        reinterpret_cast<sockaddr*>(&from), &from_size)) >= 0;
         from_size = sizeof(from)) {
      const auto result = wireguard_read(tunnel, in.data(), static_cast<uint32_t>(size), out.data(),
                                         static_cast<uint32_t>(out.size()));
      peer = result.op == kError ? peer : from;
      if (result.op == kWriteToNetwork) {
        sendto(udp.Get(), out.data(), result.size, 0, reinterpret_cast<sockaddr*>(&peer),
               sizeof(peer));
      } else if (result.op == kWriteToTunnelIpv4 || result.op == kWriteToTunnelIpv6) {
        [[maybe_unused]] const ssize_t written =
            write(tun.descriptor.Get(), out.data(), result.size);
      }
    }
    for (ssize_t size; (watched[1].revents & POLLIN) != 0 &&
                       (size = read(tun.descriptor.Get(), in.data(), in.size())) > 0;) {
      const auto result = wireguard_write(tunnel, in.data(), static_cast<uint32_t>(size),
                                          out.data(), static_cast<uint32_t>(out.size()));
      if (peer.sin_family == AF_INET && result.op == kWriteToNetwork) {
        sendto(udp.Get(), out.data(), result.size, 0, reinterpret_cast<sockaddr*>(&peer),
               sizeof(peer));
      }
    }
  }
}
