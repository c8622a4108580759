// A stand-in for the sing-box program, for tests only. It honours the contract the service
// relies on: `version` prints a version text; `run -c stdin` reads the configuration from
// standard input to its end, refuses text that is not JSON, listens on each "mixed" inbound's
// listen:listen_port, prints the readiness text and runs until it is ended. On Linux (as root) it
// also creates and raises the document's TUN interface, so the service's TUN check passes for
// real; the Windows stand-in has no TUN driver and leaves the interface out.
#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>

#include <windows.h>

#include <fcntl.h>
#include <io.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include "platform/posix/wintun/tun_device.h"

#include <cerrno>
#include <cstring>
#endif

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>

namespace {

// Writes to standard error at once (binary on Windows).
void Write(const std::string& text, FILE* stream = stderr) {
  std::fwrite(text.data(), 1, text.size(), stream);
  std::fflush(stream);
}

// Opens a listening TCP socket that stays open until the process ends; the failure text or "".
std::string ListenTcp(const std::string& host, int port) {
#ifdef _WIN32
  WSADATA data{};
  WSAStartup(MAKEWORD(2, 2), &data);
  const SOCKET listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
#else
  const int listener = socket(AF_INET, SOCK_STREAM, 0);
  const int on = 1;
  setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
#endif
  sockaddr_in address{AF_INET, htons(static_cast<uint16_t>(port)), {}, {}};
  if (inet_pton(AF_INET, host.c_str(), &address.sin_addr) != 1 ||
      bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      listen(listener, 16) != 0) {
#ifdef _WIN32
    const std::string error = std::to_string(WSAGetLastError());
#else
    const std::string error = std::strerror(errno);
#endif
    return "listen tcp " + host + ":" + std::to_string(port) + ": " + error;
  }
  return {};
}

// Creates the TUN interface `name` and raises it; it goes when the process ends.
std::string CreateTun([[maybe_unused]] const std::string& name) {
#ifdef _WIN32
  return {};
#else
  orvo_vpn_win_svc::wintun::TunAttachment tun;
  if (const int error = orvo_vpn_win_svc::wintun::AttachTunDevice(name, false, tun)) {
    return "configure tun interface " + name + ": " + std::strerror(error);
  }
  static_cast<void>(tun.descriptor.Release());  // open until the process ends
  if (std::system(("ip link set " + name + " up").c_str()) != 0) {
    return "raise " + name + ": ip link set up failed";
  }
  return {};
#endif
}

int Run() {
  const std::string config{std::istreambuf_iterator<char>(std::cin), {}};
  const nlohmann::json document = nlohmann::json::parse(config, nullptr, false);
  if (document.is_discarded()) {
    Write("FATAL[0000] decode config: the configuration is not JSON\n");
    return 2;
  }
  const nlohmann::json inbounds =
      document.is_object() ? document.value("inbounds", nlohmann::json()) : nullptr;
  for (const nlohmann::json& inbound : inbounds.is_array() ? inbounds : nlohmann::json::array()) {
    const std::string type = inbound.is_object() ? inbound.value("type", "") : "";
    std::string failure;
    if (type == "mixed") {
      failure = ListenTcp(inbound.value("listen", "127.0.0.1"), inbound.value("listen_port", 0));
    } else if (type == "tun") {
      failure = CreateTun(inbound.value("interface_name", ""));
    }
    if (!failure.empty()) {
      Write("FATAL[0000] start service: " + failure + "\n");
      return 1;
    }
  }
  Write("INFO[0000] sing-box started (0.00s)\n");
  for (;;) {
    std::this_thread::sleep_for(std::chrono::seconds(1));
  }
}

}  // namespace

int main(int argc, char** argv) {
#ifdef _WIN32
  // Text mode would change the bytes of the configuration and of what is written.
  for (FILE* stream : {stdin, stdout, stderr}) {
    _setmode(_fileno(stream), _O_BINARY);
  }
#endif
  const std::string command = argc > 1 ? argv[1] : "";
  if (command == "version") {
    Write("sing-box version 1.11.0-stand-in\n\nEnvironment: test\n", stdout);
    return 0;
  }
  if (command == "run" && argc == 4 && std::string(argv[2]) == "-c" &&
      std::string(argv[3]) == "stdin") {
    return Run();
  }
  Write("usage: sing-box version | sing-box run -c stdin\n");
  return 64;
}
