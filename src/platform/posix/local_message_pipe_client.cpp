#include "platform/local_message_pipe_client.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <cerrno>
#include <cstring>
#include <thread>
#include <vector>

#include "platform/posix/file_descriptor.h"
#include "platform/posix/socket_path.h"

namespace orvo_vpn_win_svc::platform {
namespace {

class SocketClientConnection final : public PipeClientConnection {
 public:
  explicit SocketClientConnection(FileDescriptor socket) : socket_(std::move(socket)) {}

  bool Send(std::string_view message) override {
    return ::send(socket_.Get(), message.data(), message.size(), MSG_NOSIGNAL) >= 0;
  }

  std::optional<std::string> Receive() override {
    // A reply can take as long as its command (a connect takes minutes): no time-out here.
    pollfd readable = {socket_.Get(), POLLIN, 0};
    while (::poll(&readable, 1, -1) < 0 && errno == EINTR) {
    }
    const ssize_t length = ::recv(socket_.Get(), nullptr, 0, MSG_PEEK | MSG_TRUNC);
    if (length <= 0) {
      return std::nullopt;  // disconnected without a reply
    }
    std::vector<char> buffer(static_cast<size_t>(length));
    const ssize_t received = ::recv(socket_.Get(), buffer.data(), buffer.size(), 0);
    if (received < 0) {
      return std::nullopt;
    }
    return std::string(buffer.data(), static_cast<size_t>(received));
  }

 private:
  FileDescriptor socket_;
};

}  // namespace

PipeOpening OpenPipeConnection(const std::wstring& name, std::chrono::milliseconds busy_wait) {
  PipeOpening opening;
  opening.endpoint = PipeSocketPath(name);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (opening.endpoint.size() >= sizeof(address.sun_path)) {
    opening.error = ENAMETOOLONG;
    return opening;
  }
  std::memcpy(address.sun_path, opening.endpoint.c_str(), opening.endpoint.size() + 1);

  FileDescriptor socket(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
  if (!socket.Valid()) {
    opening.error = static_cast<uint32_t>(errno);
    return opening;
  }
  // A full listen queue refuses with EAGAIN: the server is busy, as a Windows pipe would be.
  const auto deadline = std::chrono::steady_clock::now() + busy_wait;
  while (::connect(socket.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
    const int error = errno;
    if (error == EINTR) {
      continue;
    }
    opening.error = static_cast<uint32_t>(error);
    if (error == ENOENT || error == ECONNREFUSED) {
      opening.status = PipeOpening::Status::kNotFound;
      return opening;
    }
    if (error != EAGAIN) {
      return opening;
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      opening.status = PipeOpening::Status::kBusy;
      return opening;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  opening.error = 0;
  opening.status = PipeOpening::Status::kOk;
  opening.connection = std::make_unique<SocketClientConnection>(std::move(socket));
  return opening;
}

}  // namespace orvo_vpn_win_svc::platform
