#include "platform/local_message_pipe.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <vector>

#include "platform/posix/file_descriptor.h"
#include "platform/posix/socket_path.h"

namespace orvo_vpn_win_svc::platform {
namespace {

// Clients queue here while the listener serves another one, as Windows clients wait for a busy
// pipe.
constexpr int kListenBacklog = 64;
// Pause after a failed accept, so a persistent fault cannot make the listener spin.
constexpr int kRetryPauseMs = 50;

bool FillAddress(const std::string& path, sockaddr_un& address) {
  std::memset(&address, 0, sizeof(address));
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof(address.sun_path)) {
    return false;
  }
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  return true;
}

// True when a live server answers on `path`; a socket file left by a process that died does not.
bool SomeoneListens(const sockaddr_un& address) {
  FileDescriptor probe(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
  if (!probe.Valid()) {
    return false;
  }
  return ::connect(probe.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0;
}

// The socket's directory must belong to the service's user and be writable by no one else:
// whoever can write there could replace the socket with one of their own and receive the user
// interface's requests. Everyone may enter it and connect.
int PrepareDirectory(const std::string& directory) {
  if (::mkdir(directory.c_str(), 0755) != 0 && errno != EEXIST) {
    return errno;
  }
  struct stat info {};
  if (::lstat(directory.c_str(), &info) != 0) {
    return errno;
  }
  if (!S_ISDIR(info.st_mode)) {
    return ENOTDIR;
  }
  if (info.st_uid != ::geteuid() || (info.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    return EPERM;
  }
  return 0;
}

class SocketMessagePipe final : public LocalMessagePipe {
 public:
  SocketMessagePipe(FileDescriptor listener, FileDescriptor wake, std::string path)
      : listener_(std::move(listener)), wake_(std::move(wake)), path_(std::move(path)) {}

  ~SocketMessagePipe() override {
    client_.Reset();
    listener_.Reset();
    ::unlink(path_.c_str());
  }

  WaitResult WaitForClient() override {
    if (!WaitReadable(listener_.Get(), -1)) {
      return WaitResult::kShutDown;
    }
    const int fd = ::accept4(listener_.Get(), nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) {
      // The client stays queued while accept fails, so a failure that lasts (no descriptor left
      // for it) would fail again at once: pause before the next try, as the Windows side does.
      if (errno != ECONNABORTED && errno != EINTR && ShutDownWithin(kRetryPauseMs)) {
        return WaitResult::kShutDown;
      }
      return WaitResult::kFailed;
    }
    client_.Reset(fd);
    return WaitResult::kConnected;
  }

  std::optional<std::string> ReadRequest(size_t max_bytes,
                                         std::chrono::milliseconds timeout) override {
    if (!client_.Valid() || !WaitReadable(client_.Get(), static_cast<int>(timeout.count()))) {
      return std::nullopt;
    }
    // One byte more than allowed tells an oversize message apart; MSG_TRUNC reports the whole
    // length even so.
    std::vector<char> buffer(max_bytes + 1, '\0');
    const ssize_t length =
        ::recv(client_.Get(), buffer.data(), buffer.size(), MSG_TRUNC | MSG_DONTWAIT);
    if (length < 0 || static_cast<size_t>(length) > max_bytes) {
      return std::nullopt;
    }
    if (length == 0 && PeerHungUp()) {
      return std::nullopt;  // the client left without writing
    }
    return std::string(buffer.data(), static_cast<size_t>(length));
  }

  void WriteReply(std::string_view reply) override {
    if (client_.Valid()) {
      (void)::send(client_.Get(), reply.data(), reply.size(), MSG_NOSIGNAL);
    }
  }

  void DisconnectClient() override { client_.Reset(); }

  void Shutdown() override {
    const uint64_t one = 1;
    (void)::write(wake_.Get(), &one, sizeof(one));
  }

 private:
  // Waits until `fd` is readable; false on time-out, on failure or when shut down.
  bool WaitReadable(int fd, int timeout_ms) {
    pollfd fds[2] = {{fd, POLLIN, 0}, {wake_.Get(), POLLIN, 0}};
    for (;;) {
      const int ready = ::poll(fds, 2, timeout_ms);
      if (ready < 0 && errno == EINTR) {
        continue;
      }
      if (ready <= 0 || (fds[1].revents & POLLIN) != 0) {
        return false;
      }
      return (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) != 0;
    }
  }

  // Waits `timeout_ms` unless the pipe is shut down first; true when it was.
  bool ShutDownWithin(int timeout_ms) const {
    pollfd fd = {wake_.Get(), POLLIN, 0};
    return ::poll(&fd, 1, timeout_ms) > 0;
  }

  bool PeerHungUp() const {
    pollfd fd = {client_.Get(), POLLRDHUP, 0};
    return ::poll(&fd, 1, 0) > 0 && (fd.revents & (POLLRDHUP | POLLHUP)) != 0;
  }

  FileDescriptor listener_;
  FileDescriptor wake_;
  FileDescriptor client_;
  std::string path_;
};

class SocketMessagePipes final : public LocalMessagePipeFactory {
 public:
  PipeCreation Create(const std::wstring& name) override {
    const std::string directory = PipeSocketDirectory();
    if (const int error = PrepareDirectory(directory); error != 0) {
      return {nullptr, static_cast<uint32_t>(error)};
    }
    const std::string path = PipeSocketPath(name);
    sockaddr_un address{};
    if (!FillAddress(path, address)) {
      return {nullptr, ENAMETOOLONG};
    }
    FileDescriptor listener(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
    if (!listener.Valid()) {
      return {nullptr, static_cast<uint32_t>(errno)};
    }
    if (::bind(listener.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
      const int error = errno;
      if (error != EADDRINUSE || SomeoneListens(address)) {
        return {nullptr, static_cast<uint32_t>(error)};
      }
      // A socket file left behind by a process that is gone: take the name over.
      ::unlink(path.c_str());
      if (::bind(listener.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address)) !=
          0) {
        return {nullptr, static_cast<uint32_t>(errno)};
      }
    }
    // Every local user may connect, as the unprivileged user interface must.
    if (::chmod(path.c_str(), 0666) != 0 || ::listen(listener.Get(), kListenBacklog) != 0) {
      const int error = errno;
      ::unlink(path.c_str());
      return {nullptr, static_cast<uint32_t>(error)};
    }
    FileDescriptor wake(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!wake.Valid()) {
      const int error = errno;
      ::unlink(path.c_str());
      return {nullptr, static_cast<uint32_t>(error)};
    }
    return {std::make_unique<SocketMessagePipe>(std::move(listener), std::move(wake), path), 0};
  }
};

}  // namespace

std::shared_ptr<LocalMessagePipeFactory> SystemMessagePipes() {
  static const auto pipes = std::make_shared<SocketMessagePipes>();
  return pipes;
}

}  // namespace orvo_vpn_win_svc::platform
