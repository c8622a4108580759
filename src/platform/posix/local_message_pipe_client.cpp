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

PipeExchange ExchangePipeMessage(const std::wstring& name, std::string_view request,
                                 std::chrono::milliseconds busy_wait) {
  PipeExchange exchange;
  exchange.endpoint = PipeSocketPath(name);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (exchange.endpoint.size() >= sizeof(address.sun_path)) {
    exchange.error = ENAMETOOLONG;
    return exchange;
  }
  std::memcpy(address.sun_path, exchange.endpoint.c_str(), exchange.endpoint.size() + 1);

  FileDescriptor socket(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
  if (!socket.Valid()) {
    exchange.error = static_cast<uint32_t>(errno);
    return exchange;
  }
  // A full listen queue refuses with EAGAIN: the server is busy, as a Windows pipe would be.
  const auto deadline = std::chrono::steady_clock::now() + busy_wait;
  while (::connect(socket.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
    const int error = errno;
    if (error == EINTR) {
      continue;
    }
    exchange.error = static_cast<uint32_t>(error);
    if (error == ENOENT || error == ECONNREFUSED) {
      exchange.status = PipeExchange::Status::kNotFound;
      return exchange;
    }
    if (error != EAGAIN) {
      return exchange;
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      exchange.status = PipeExchange::Status::kBusy;
      return exchange;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  if (::send(socket.Get(), request.data(), request.size(), MSG_NOSIGNAL) < 0) {
    exchange.error = static_cast<uint32_t>(errno);
    return exchange;
  }
  // The reply can take as long as the command does (a connect takes minutes), so no time-out.
  pollfd readable = {socket.Get(), POLLIN, 0};
  while (::poll(&readable, 1, -1) < 0 && errno == EINTR) {
  }
  const ssize_t length = ::recv(socket.Get(), nullptr, 0, MSG_PEEK | MSG_TRUNC);
  if (length < 0) {
    exchange.error = static_cast<uint32_t>(errno);
    return exchange;
  }
  if (length == 0) {
    // The server disconnected without a reply (an oversize or late request).
    exchange.error = ECONNRESET;
    return exchange;
  }
  std::vector<char> buffer(static_cast<size_t>(length));
  const ssize_t received = ::recv(socket.Get(), buffer.data(), buffer.size(), 0);
  if (received < 0) {
    exchange.error = static_cast<uint32_t>(errno);
    return exchange;
  }
  exchange.reply.assign(buffer.data(), static_cast<size_t>(received));
  exchange.status = PipeExchange::Status::kOk;
  return exchange;
}

}  // namespace orvo_vpn_win_svc::platform
