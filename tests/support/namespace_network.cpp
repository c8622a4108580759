#include "support/namespace_network.h"

#include "platform/ipv4_literal.h"
#include "platform/socket_address.h"

#if defined(__linux__)
#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <netinet/ip_icmp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#endif

namespace orvo_test {

#if defined(__linux__)
namespace {

int CountDirectoryEntries(const char* path) {
  DIR* directory = opendir(path);
  if (directory == nullptr) {
    return -1;
  }
  int count = 0;
  while (const dirent* entry = readdir(directory)) {
    if (entry->d_name[0] != '.') {
      ++count;
    }
  }
  closedir(directory);
  return count;
}

sockaddr_in Address(const std::string& text, uint16_t port) {
  using orvo_vpn_win_svc::platform::IpAddress;
  const IpAddress address =
      IpAddress::Ipv4(orvo_vpn_win_svc::platform::ParseIpv4Literal(text).value_or(0));
  return *orvo_vpn_win_svc::platform::Ipv4SocketAddress(address, port);
}

bool WaitReadable(int descriptor, std::chrono::milliseconds timeout) {
  pollfd watched{descriptor, POLLIN, 0};
  return poll(&watched, 1, static_cast<int>(timeout.count())) == 1;
}

uint16_t InternetChecksum(const uint8_t* bytes, size_t size) {
  uint32_t sum = 0;
  for (size_t i = 0; i + 1 < size; i += 2) {
    sum += static_cast<uint32_t>(bytes[i] << 8 | bytes[i + 1]);
  }
  if (size % 2 == 1) {
    sum += static_cast<uint32_t>(bytes[size - 1] << 8);
  }
  while (sum >> 16) {
    sum = (sum & 0xFFFF) + (sum >> 16);
  }
  return static_cast<uint16_t>(~sum);
}

}  // namespace

std::string ShellOutput(const std::string& command) {
  std::string output;
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) {
    return output;
  }
  char chunk[512];
  size_t read;
  while ((read = fread(chunk, 1, sizeof(chunk), pipe)) > 0) {
    output.append(chunk, read);
  }
  pclose(pipe);
  return output;
}

int CountOpenDescriptors() {
  return CountDirectoryEntries("/proc/self/fd");
}
int CountThreads() {
  return CountDirectoryEntries("/proc/self/task");
}

bool Ping(const std::string& address, std::chrono::milliseconds timeout) {
  const int raw = ::socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMP);
  if (raw < 0) {
    return false;
  }
  const uint16_t identifier = static_cast<uint16_t>(getpid());
  // Type, code, checksum, identifier, sequence number 1, then a few bytes of data.
  uint8_t request[16] = {ICMP_ECHO, 0, 0, 0, 0, 0, 0, 1, 'o', 'r', 'v', 'o'};
  request[4] = static_cast<uint8_t>(identifier >> 8);
  request[5] = static_cast<uint8_t>(identifier);
  const uint16_t checksum = InternetChecksum(request, sizeof(request));
  request[2] = static_cast<uint8_t>(checksum >> 8);
  request[3] = static_cast<uint8_t>(checksum);
  const sockaddr_in peer = Address(address, 0);
  bool answered = false;
  if (sendto(raw, request, sizeof(request), 0, reinterpret_cast<const sockaddr*>(&peer),
             sizeof(peer)) == static_cast<ssize_t>(sizeof(request))) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!answered && std::chrono::steady_clock::now() < deadline) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (!WaitReadable(raw, left)) {
        break;
      }
      // A raw ICMP socket receives the IP header too; the reply is ours when it comes from
      // the peer, is an echo reply and carries our identifier.
      uint8_t reply[1500];
      sockaddr_in from{};
      socklen_t from_size = sizeof(from);
      const ssize_t size =
          recvfrom(raw, reply, sizeof(reply), 0, reinterpret_cast<sockaddr*>(&from), &from_size);
      if (size < 20) {
        continue;
      }
      const size_t header = static_cast<size_t>(reply[0] & 0x0F) * 4;
      answered = from.sin_addr.s_addr == peer.sin_addr.s_addr &&
                 static_cast<size_t>(size) >= header + 8 && reply[header] == ICMP_ECHOREPLY &&
                 reply[header + 4] == request[4] && reply[header + 5] == request[5];
    }
  }
  close(raw);
  return answered;
}

#else

std::string ShellOutput(const std::string&) {
  return {};
}
int CountOpenDescriptors() {
  return -1;
}
int CountThreads() {
  return -1;
}
bool Ping(const std::string&, std::chrono::milliseconds) {
  return false;
}

#endif

int LinkIndex(const std::string& name) {
  // `ip -o link show dev NAME` prints "INDEX: NAME: <FLAGS> ..." on one line.
  const std::string line = ShellOutput("ip -o link show dev " + name + " 2>/dev/null");
  const size_t colon = line.find(':');
  if (colon == std::string::npos || colon == 0) {
    return 0;
  }
  try {
    return std::stoi(line.substr(0, colon));
  } catch (const std::exception&) {
    return 0;
  }
}

}  // namespace orvo_test
