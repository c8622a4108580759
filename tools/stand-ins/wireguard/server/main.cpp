// TEST EQUIPMENT: the WireGuard stand-in server. It speaks the stand-in protocol (no
// cryptography) over UDP and owns a TUN device of its own, so a client in another network
// namespace can reach that device's address through the tunnel. Writes one "ready" line on
// standard output once it listens; ends on SIGTERM or SIGINT.

#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "server_options.h"
#include "server_tun.h"
#include "stand_in_server.h"

namespace {

std::atomic<bool> g_stop{false};

void RequestStop(int) {
  g_stop.store(true);
}

}  // namespace

int main(int argc, char** argv) {
  orvo_stand_in::ServerOptions options;
  std::string error;
  if (!orvo_stand_in::ParseServerOptions(argc, argv, options, error)) {
    std::fprintf(stderr, "wireguard-stand-in-server: %s\n", error.c_str());
    return 2;
  }
  // Without SA_RESTART a signal interrupts the wait, so the server ends at once.
  struct sigaction stop_action {};
  stop_action.sa_handler = RequestStop;
  sigaction(SIGTERM, &stop_action, nullptr);
  sigaction(SIGINT, &stop_action, nullptr);

  orvo_vpn_win_svc::platform::FileDescriptor tun = orvo_stand_in::OpenServerTun(options, error);
  if (!tun.Valid()) {
    std::fprintf(stderr, "wireguard-stand-in-server: %s\n", error.c_str());
    return 1;
  }
  orvo_vpn_win_svc::platform::FileDescriptor udp(
      ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_port = htons(options.port);
  local.sin_addr.s_addr = htonl(INADDR_ANY);
  if (!udp.Valid() || bind(udp.Get(), reinterpret_cast<sockaddr*>(&local), sizeof(local)) != 0) {
    std::fprintf(stderr, "wireguard-stand-in-server: cannot listen on UDP port %u: %s\n",
                 options.port, std::strerror(errno));
    return 1;
  }
  std::printf("wireguard stand-in server ready: udp port %u, tun %s\n", options.port,
              options.tun_name.c_str());
  std::fflush(stdout);
  orvo_stand_in::StandInServer server(std::move(udp), std::move(tun));
  server.Run(g_stop);
  return 0;
}
