#include "integration/service_notify_listener.h"

#include <algorithm>

#ifndef _WIN32
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#endif

namespace orvo_test {

#ifndef _WIN32

NotifyListener::NotifyListener(std::filesystem::path path) : path_(std::move(path)) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  const std::string text = path_.string();
  if (text.size() >= sizeof(address.sun_path)) {
    return;
  }
  std::memcpy(address.sun_path, text.c_str(), text.size() + 1);
  socket_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (socket_ >= 0 &&
      ::bind(socket_, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
    ::close(socket_);
    socket_ = -1;
  }
}

NotifyListener::~NotifyListener() {
  if (socket_ >= 0) {
    ::close(socket_);
    ::unlink(path_.c_str());
  }
}

bool NotifyListener::WaitFor(const std::string& message, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (std::find(messages_.begin(), messages_.end(), message) == messages_.end()) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    pollfd readable{socket_, POLLIN, 0};
    if (socket_ < 0 || left.count() <= 0 ||
        ::poll(&readable, 1, static_cast<int>(left.count())) != 1) {
      return false;
    }
    char buffer[4096];
    const ssize_t size = ::recv(socket_, buffer, sizeof(buffer), 0);
    if (size >= 0) {
      messages_.emplace_back(buffer, static_cast<size_t>(size));
    }
  }
  return true;
}

#else

NotifyListener::NotifyListener(std::filesystem::path path) : path_(std::move(path)) {}
NotifyListener::~NotifyListener() = default;
bool NotifyListener::WaitFor(const std::string&, std::chrono::milliseconds) {
  return false;
}

#endif

}  // namespace orvo_test
