#pragma once

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

namespace orvo_test {

// A stand-in for systemd's notification socket: an AF_UNIX datagram socket bound at `path`,
// collecting every message a service sends to $NOTIFY_SOCKET. Linux only: elsewhere it never
// binds and receives nothing.
class NotifyListener {
 public:
  explicit NotifyListener(std::filesystem::path path);
  ~NotifyListener();
  NotifyListener(const NotifyListener&) = delete;
  NotifyListener& operator=(const NotifyListener&) = delete;

  bool Bound() const { return socket_ >= 0; }
  const std::filesystem::path& Path() const { return path_; }
  // Receives until a message equal to `message` has arrived or `timeout` passes.
  bool WaitFor(const std::string& message, std::chrono::milliseconds timeout);
  // Every message received so far, in order of arrival.
  const std::vector<std::string>& Messages() const { return messages_; }

 private:
  std::filesystem::path path_;
  int socket_ = -1;
  std::vector<std::string> messages_;
};

}  // namespace orvo_test
