#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/if.h>
#include <linux/if_tun.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "stand_in_system.h"

namespace singbox_stand_in {
namespace {

void WriteAll(int fd, const std::string& text) {
  size_t written = 0;
  while (written < text.size()) {
    const ssize_t count = write(fd, text.data() + written, text.size() - written);
    if (count <= 0) {
      if (count < 0 && errno == EINTR) {
        continue;
      }
      return;
    }
    written += static_cast<size_t>(count);
  }
}

std::string SystemError(const std::string& what) {
  return what + ": " + std::strerror(errno);
}

}  // namespace

void PrepareStandardStreams() {}

void SleepMs(long milliseconds) {
  if (milliseconds > 0) {
    usleep(static_cast<useconds_t>(milliseconds) * 1000U);
  }
}

std::optional<std::string> Environment(const char* name) {
  const char* value = std::getenv(name);
  return value ? std::optional<std::string>(value) : std::nullopt;
}

std::string CurrentDirectory() {
  char path[4096] = {};
  return getcwd(path, sizeof path) ? path : "";
}

void WriteOut(const std::string& text) {
  WriteAll(STDOUT_FILENO, text);
}
void WriteError(const std::string& text) {
  WriteAll(STDERR_FILENO, text);
}

void CloseOutputStreams() {
  close(STDOUT_FILENO);
  close(STDERR_FILENO);
}

std::string ListenTcp(const std::string& host, int port) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);  // stays open until the process ends
  if (fd < 0) {
    return SystemError("socket");
  }
  const int on = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  if (inet_pton(AF_INET, host.c_str(), &address.sin_addr) != 1) {
    return "listen " + host + ": not an IPv4 address";
  }
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(fd, 16) != 0) {
    return SystemError("listen tcp " + host + ":" + std::to_string(port));
  }
  return {};
}

std::string CreateTun(const std::string& name) {
  // Not persistent: the interface goes when this descriptor closes with the process.
  const int fd = open("/dev/net/tun", O_RDWR);
  if (fd < 0) {
    return SystemError("open /dev/net/tun");
  }
  ifreq request{};
  request.ifr_flags = IFF_TUN | IFF_NO_PI;
  std::strncpy(request.ifr_name, name.c_str(), IFNAMSIZ - 1);
  if (ioctl(fd, TUNSETIFF, &request) != 0) {
    return SystemError("configure tun interface " + name);
  }
  const int control = socket(AF_INET, SOCK_DGRAM, 0);
  if (control < 0 || ioctl(control, SIOCGIFFLAGS, &request) != 0) {
    return SystemError("read flags of " + name);
  }
  request.ifr_flags = static_cast<short>(request.ifr_flags | IFF_UP);
  if (ioctl(control, SIOCSIFFLAGS, &request) != 0) {
    return SystemError("raise " + name);
  }
  close(control);
  return {};
}

}  // namespace singbox_stand_in
