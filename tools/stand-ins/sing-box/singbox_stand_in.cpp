// A stand-in for the sing-box program, for tests only. It honours the contract the service
// relies on (the `version` query, `run -c stdin` with the configuration on standard input, the
// readiness text) and otherwise does what its environment says:
//
//   SINGBOX_STAND_IN_VERSION_OUTPUT  text printed for `version` ("\n" and "\r" are escapes)
//   SINGBOX_STAND_IN_VERSION_HANG    "closed": close the output after printing and stay alive
//   SINGBOX_STAND_IN_READY           "now" (default), "never", "split" (the text in two writes
//                                    400 ms apart)
//   SINGBOX_STAND_IN_READY_DELAY_MS  pause before the readiness text
//   SINGBOX_STAND_IN_EXIT_CODE       exit with this code ...
//   SINGBOX_STAND_IN_EXIT_WHEN       ... "before-ready" (default) or "after-ready"
//   SINGBOX_STAND_IN_EXIT_DELAY_MS   pause before that exit
//   SINGBOX_STAND_IN_TUN             "1": create and raise the document's TUN interface (Linux)
//   SINGBOX_STAND_IN_RECORD          file that receives the arguments, the working directory and
//                                    the configuration as read
//
// A "mixed" inbound makes it listen on the inbound's listen:listen_port. Without an exit code
// it runs until it is ended.
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
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>

namespace {

std::string Environment(const char* name, const std::string& fallback = "") {
  const char* value = std::getenv(name);
  return value != nullptr ? value : fallback;
}

void SleepMs(long milliseconds) {
  std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

void SleepMs(const char* variable, long fallback = 0) {
  SleepMs(std::strtol(Environment(variable, std::to_string(fallback)).c_str(), nullptr, 10));
}

// Writes to standard output or standard error at once (both are binary on Windows).
void Write(FILE* stream, const std::string& text) {
  std::fwrite(text.data(), 1, text.size(), stream);
  std::fflush(stream);
}

[[noreturn]] void HangForever() {
  for (;;) {
    SleepMs(1000);
  }
}

std::string SystemError(const std::string& what) {
#ifdef _WIN32
  return what + ": " + std::to_string(WSAGetLastError());
#else
  return what + ": " + std::strerror(errno);
#endif
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
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  if (inet_pton(AF_INET, host.c_str(), &address.sin_addr) != 1) {
    return "listen " + host + ": not an IPv4 address";
  }
  if (bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      listen(listener, 16) != 0) {
    return SystemError("listen tcp " + host + ":" + std::to_string(port));
  }
  return {};
}

// Creates the TUN interface `name` and raises it; it goes when the process ends.
std::string CreateTun(const std::string& name) {
#ifdef _WIN32
  return "configure tun interface " + name + ": the Windows stand-in has no TUN driver";
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

int AnswerVersion() {
  std::string output;
  const std::string text = Environment(
      "SINGBOX_STAND_IN_VERSION_OUTPUT", "sing-box version 1.11.0-stand-in\\n\\nEnvironment: test\\n");
  for (size_t i = 0; i < text.size(); ++i) {
    const bool escape = text[i] == '\\' && i + 1 < text.size() &&
                        (text[i + 1] == 'n' || text[i + 1] == 'r');
    output.push_back(escape ? (text[++i] == 'n' ? '\n' : '\r') : text[i]);
  }
  Write(stdout, output);
  if (Environment("SINGBOX_STAND_IN_VERSION_HANG") == "closed") {
    std::fclose(stdout);
    std::fclose(stderr);
    HangForever();
  }
  return 0;
}

// Sets up what the document's inbounds ask for; an empty text when all went well.
std::string OpenInbounds(const nlohmann::json& document) {
  if (!document.contains("inbounds") || !document["inbounds"].is_array()) {
    return {};
  }
  for (const nlohmann::json& inbound : document["inbounds"]) {
    const std::string type = inbound.value("type", "");
    std::string failure;
    if (type == "mixed") {
      failure = ListenTcp(inbound.value("listen", "127.0.0.1"), inbound.value("listen_port", 0));
    } else if (type == "tun" && Environment("SINGBOX_STAND_IN_TUN") == "1") {
      failure = CreateTun(inbound.value("interface_name", ""));
    }
    if (!failure.empty()) {
      return failure;
    }
  }
  return {};
}

void ExitIfAsked(const std::string& stage) {
  const std::string code = Environment("SINGBOX_STAND_IN_EXIT_CODE");
  if (code.empty() || Environment("SINGBOX_STAND_IN_EXIT_WHEN", "before-ready") != stage) {
    return;
  }
  SleepMs("SINGBOX_STAND_IN_EXIT_DELAY_MS");
  Write(stderr, "FATAL[0000] stand-in exiting with code " + code + "\n");
  std::exit(std::atoi(code.c_str()));
}

int Run(int argc, char** argv) {
  const std::string config{std::istreambuf_iterator<char>(std::cin), {}};
  if (const std::string path = Environment("SINGBOX_STAND_IN_RECORD"); !path.empty()) {
    std::ofstream record(path, std::ios::binary | std::ios::trunc);
    record << "args:";
    for (int i = 1; i < argc; ++i) {
      record << ' ' << argv[i];
    }
    record << "\ncwd: " << std::filesystem::current_path().string() << "\nconfig:\n" << config;
  }
  const nlohmann::json document = nlohmann::json::parse(config, nullptr, false);
  if (document.is_discarded()) {
    Write(stderr, "FATAL[0000] decode config: the configuration is not JSON\n");
    return 2;
  }
  Write(stdout, "stand-in: configuration accepted (" + std::to_string(config.size()) + " bytes)\n");
  const std::string failure = OpenInbounds(document);
  if (!failure.empty()) {
    Write(stderr, "FATAL[0000] start service: " + failure + "\n");
    return 1;
  }
  ExitIfAsked("before-ready");
  SleepMs("SINGBOX_STAND_IN_READY_DELAY_MS");
  const std::string ready = Environment("SINGBOX_STAND_IN_READY", "now");
  if (ready == "split") {
    Write(stderr, "INFO[0000] sing-box sta");
    SleepMs(400);
    Write(stderr, "rted (0.00s)\n");
  } else if (ready != "never") {
    Write(stderr, "INFO[0000] sing-box started (0.00s)\n");
  }
  ExitIfAsked("after-ready");
  HangForever();
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
    return AnswerVersion();
  }
  if (command == "run" && argc == 4 && std::string(argv[2]) == "-c" &&
      std::string(argv[3]) == "stdin") {
    return Run(argc, argv);
  }
  Write(stderr, "usage: sing-box version | sing-box run -c stdin\n");
  return 64;
}
