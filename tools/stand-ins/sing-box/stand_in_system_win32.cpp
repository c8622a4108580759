#include <winsock2.h>
#include <ws2tcpip.h>

#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <cstdlib>

#include "stand_in_system.h"

namespace singbox_stand_in {
namespace {

void WriteAll(DWORD which, const std::string& text) {
  HANDLE handle = GetStdHandle(which);
  DWORD written = 0;
  if (handle != nullptr && handle != INVALID_HANDLE_VALUE && !text.empty()) {
    WriteFile(handle, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
  }
}

}  // namespace

void PrepareStandardStreams() {
  _setmode(_fileno(stdin), _O_BINARY);
}

void SleepMs(long milliseconds) {
  if (milliseconds > 0) {
    Sleep(static_cast<DWORD>(milliseconds));
  }
}

std::optional<std::string> Environment(const char* name) {
  char buffer[4096];
  const DWORD length = GetEnvironmentVariableA(name, buffer, sizeof buffer);
  if (length == 0 || length >= sizeof buffer) {
    return std::nullopt;
  }
  return std::string(buffer, length);
}

std::string CurrentDirectory() {
  char path[MAX_PATH] = {};
  const DWORD length = GetCurrentDirectoryA(MAX_PATH, path);
  return std::string(path, length);
}

void WriteOut(const std::string& text) {
  WriteAll(STD_OUTPUT_HANDLE, text);
}
void WriteError(const std::string& text) {
  WriteAll(STD_ERROR_HANDLE, text);
}

void CloseOutputStreams() {
  CloseHandle(GetStdHandle(STD_OUTPUT_HANDLE));
  CloseHandle(GetStdHandle(STD_ERROR_HANDLE));
  SetStdHandle(STD_OUTPUT_HANDLE, nullptr);
  SetStdHandle(STD_ERROR_HANDLE, nullptr);
}

std::string ListenTcp(const std::string& host, int port) {
  WSADATA data{};
  if (WSAStartup(MAKEWORD(2, 2), &data) != 0) {
    return "WSAStartup failed";
  }
  const SOCKET listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);  // open until exit
  if (listener == INVALID_SOCKET) {
    return "socket: " + std::to_string(WSAGetLastError());
  }
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<u_short>(port));
  if (inet_pton(AF_INET, host.c_str(), &address.sin_addr) != 1) {
    return "listen " + host + ": not an IPv4 address";
  }
  if (bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      listen(listener, 16) != 0) {
    return "listen tcp " + host + ":" + std::to_string(port) + ": " +
           std::to_string(WSAGetLastError());
  }
  return {};
}

std::string CreateTun(const std::string& name) {
  return "configure tun interface " + name + ": the Windows stand-in has no TUN driver";
}

}  // namespace singbox_stand_in
