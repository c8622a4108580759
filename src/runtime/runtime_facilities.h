#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "killswitch/wfp_manager.h"
#include "platform/host_resolver.h"
#include "platform/ip_helper.h"
#include "platform/last_error.h"
#include "platform/monotonic_clock.h"
#include "platform/precise_sleeper.h"
#include "platform/sleeper.h"
#include "platform/socket_library.h"
#include "platform/udp_socket.h"
#include "runtime/packet_pump.h"
#include "runtime/tunnel_library_loader.h"
#include "singbox/cleanup_facilities.h"
#include "singbox/singbox_wrapper.h"

namespace orvo_vpn_win_svc {

// Everything the runtime works with beyond its own state: the two process-wide objects it uses
// but does not own, and the system facilities it calls. Tests build one on fakes.
struct RuntimeFacilities {
  SingboxWrapper& singbox;
  WfpManager& wfp;
  std::shared_ptr<platform::IpHelper> ip_helper;
  // The fixed waits of the Hysteria2 connect, and the clock its progress lines count on.
  platform::Sleeper& sleeper;
  const platform::MonotonicClock& clock;
  // Seconds since 1970-01-01 UTC.
  std::function<int64_t()> wall_clock;
  // The Wintun adapter clean-up of a disconnect and of a connect's retry.
  CleanupFacilities cleanup;
  // getaddrinfo with AF_INET and SOCK_DGRAM.
  std::function<platform::Ipv4Resolution(const std::string& host)> resolve_ipv4;
  std::function<bool()> wintun_driver_installed;
  // WSAStartup 2.2.
  std::function<bool()> start_socket_library;
  // The running executable's full path, for the kill switch's permit of the service itself.
  std::function<std::wstring()> executable_path;

  // The WireGuard tunnel's facilities. Defaults are the real system's.
  // wintun.dll and boringtun.dll, by their bare names.
  LibraryLoader load_library = platform::LoadDynamicLibrary;
  // The thread's last error after a failed Wintun call.
  std::function<uint32_t()> last_error = platform::LastSystemError;
  // WSACleanup, undoing one start of the socket library.
  std::function<void()> stop_socket_library = platform::StopSocketLibrary;
  // A connected IPv4 UDP socket to the WireGuard server.
  std::function<platform::UdpSocketOpening(const platform::IpAddress& server, uint16_t port)>
      open_udp_socket = platform::OpenConnectedUdpSocket;
  // The packet threads' pauses (1 ms and 5 ms must stay near that) and their creation.
  platform::Sleeper* packet_sleeper = &platform::PreciseSleeper();
  platform::ThreadStarter start_thread = platform::StartSystemThread;

  // The real system and the process-wide wrapper and WFP manager.
  static RuntimeFacilities System();
};

}  // namespace orvo_vpn_win_svc
