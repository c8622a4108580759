#include "platform/udp_socket.h"

// Winsock's headers go before windows.h.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <windows.h>

#include <atomic>
#include <optional>

#include "platform/socket_address.h"
#include "platform/win32/unique_handle.h"

namespace orvo_vpn_win_svc::platform {
namespace {

// WSA_FLAG_NO_HANDLE_INHERIT, which mingw-w64's headers lack (Windows 7 SP1 and later).
constexpr DWORD kNoHandleInherit = 0x80;

// A receive waits on the socket's overlapped read and on a "closed" event together, so Close
// wakes it without closing the socket under it: the socket handle is closed only when the
// object goes, after the threads that use it have left, and a thread just about to receive can
// never find the handle's value reused by another socket. One thread receives at a time.
class WinsockUdpSocket final : public UdpSocket {
 public:
  WinsockUdpSocket(SOCKET socket, UniqueHandle received, UniqueHandle closed)
      : socket_(socket), received_(std::move(received)), closed_event_(std::move(closed)) {}

  ~WinsockUdpSocket() override { closesocket(socket_); }

  int64_t Send(std::span<const uint8_t> datagram) override {
    if (closed_.load()) {
      return -1;
    }
    const int sent = send(socket_, reinterpret_cast<const char*>(datagram.data()),
                          static_cast<int>(datagram.size()), 0);
    return sent == SOCKET_ERROR ? -1 : sent;
  }

  int64_t Receive(std::span<uint8_t> buffer) override {
    if (closed_.load()) {
      return 0;
    }
    WSABUF part{static_cast<ULONG>(buffer.size()), reinterpret_cast<CHAR*>(buffer.data())};
    OVERLAPPED overlapped{};
    overlapped.hEvent = received_.Get();
    ResetEvent(received_.Get());
    DWORD flags = 0;
    if (WSARecv(socket_, &part, 1, nullptr, &flags, &overlapped, nullptr) == SOCKET_ERROR) {
      if (WSAGetLastError() != WSA_IO_PENDING) {
        return -1;
      }
      const HANDLE events[] = {received_.Get(), closed_event_.Get()};
      if (WaitForMultipleObjects(2, events, FALSE, INFINITE) != WAIT_OBJECT_0) {
        CancelIoEx(reinterpret_cast<HANDLE>(socket_), &overlapped);
      }
    }
    // The buffer and the OVERLAPPED belong to the system until the read has ended, cancelled or
    // not; this waits for that.
    DWORD received = 0;
    if (!WSAGetOverlappedResult(socket_, &overlapped, &received, TRUE, &flags)) {
      return closed_.load() ? 0 : -1;
    }
    return static_cast<int64_t>(received);
  }

  void Close() override {
    if (!closed_.exchange(true)) {
      SetEvent(closed_event_.Get());
    }
  }

 private:
  SOCKET socket_;
  UniqueHandle received_;
  UniqueHandle closed_event_;
  std::atomic<bool> closed_{false};
};

}  // namespace

UdpSocketOpening OpenConnectedUdpSocket(const IpAddress& server, uint16_t port) {
  UdpSocketOpening opening;
  UniqueHandle received(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  UniqueHandle closed(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  if (!received.Valid() || !closed.Valid()) {
    opening.error = static_cast<int32_t>(GetLastError());
    opening.failed_step = UdpSocketOpening::Step::kCreate;
    return opening;
  }
  // Winsock sockets are inheritable by default, and every sing-box child is started with
  // handle inheritance on: it would keep the tunnel's socket open after the service closed it.
  // Overlapped, as socket() makes them, for the receive above.
  const SOCKET handle = WSASocketW(AF_INET, SOCK_DGRAM, IPPROTO_UDP, nullptr, 0,
                                   WSA_FLAG_OVERLAPPED | kNoHandleInherit);
  if (handle == INVALID_SOCKET) {
    opening.error = WSAGetLastError();
    opening.failed_step = UdpSocketOpening::Step::kCreate;
    return opening;
  }
  auto socket = std::make_unique<WinsockUdpSocket>(handle, std::move(received), std::move(closed));
  const std::optional<sockaddr_in> address = Ipv4SocketAddress(server, port);
  if (!address) {
    opening.error = WSAEAFNOSUPPORT;
    opening.failed_step = UdpSocketOpening::Step::kConnect;
    return opening;
  }
  if (connect(handle, reinterpret_cast<const sockaddr*>(&*address), sizeof(*address)) != 0) {
    opening.error = WSAGetLastError();
    opening.failed_step = UdpSocketOpening::Step::kConnect;
    return opening;
  }
  opening.socket = std::move(socket);
  return opening;
}

}  // namespace orvo_vpn_win_svc::platform
