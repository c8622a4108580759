#if defined(__linux__)
// The pipe server on the real AF_UNIX socket, in this process: what only the transport shows.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "ipc/ipc_server.h"
#include "platform/local_message_pipe_client.h"
#include "platform/posix/file_descriptor.h"
#include "platform/posix/socket_path.h"
#include "support/poll.h"
#include "support/test_pipe.h"

namespace orvo_vpn_win_svc {
namespace {

using namespace std::chrono_literals;
using platform::FileDescriptor;

FileDescriptor Socket() {
  return FileDescriptor(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
}

// Binds (::bind) or connects (::connect) `socket` to the socket file of the pipe `name`.
bool Attach(decltype(&::connect) attach, const FileDescriptor& socket, const std::wstring& name) {
  sockaddr_un address{AF_UNIX, {}};
  platform::PipeSocketPath(name).copy(address.sun_path, sizeof(address.sun_path) - 1);
  return attach(socket.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0;
}

std::string Reply(const FileDescriptor& client, std::chrono::milliseconds timeout) {
  pollfd readable = {client.Get(), POLLIN, 0};
  char reply[64] = {};
  return ::poll(&readable, 1, static_cast<int>(timeout.count())) == 1 &&
                 ::recv(client.Get(), reply, sizeof(reply) - 1, 0) >= 0
             ? reply
             : "(no reply)";
}

// The CPU time (user and system) the kernel has counted for this process; asking needs no
// descriptor.
std::chrono::microseconds CpuTime() {
  rusage usage{};
  EXPECT_EQ(::getrusage(RUSAGE_SELF, &usage), 0);
  return std::chrono::seconds(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         std::chrono::microseconds(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec);
}

// Over 300 ms of waiting the process uses next to no CPU; a spinning listener would take most.
void ExpectIdle() {
  const auto before = CpuTime();
  const auto wall = std::chrono::steady_clock::now();
  orvo_test::PollUntil([&] { return std::chrono::steady_clock::now() - wall >= 300ms; }, 1s);
  EXPECT_LT(CpuTime() - before, 30ms);
}

class IpcTransport : public ::testing::Test {
 protected:
  void Serve(std::chrono::milliseconds request_timeout = IpcServer::kDefaultRequestTimeout) {
    server_ = std::make_unique<IpcServer>(platform::SystemMessagePipes(), request_timeout);
    server_->status_handler = [] { return std::string("connected"); };
    ASSERT_TRUE(server_->Start(pipe_.Name()));
  }
  std::string Status() { return platform::ExchangePipeMessage(pipe_.Name(), "status", 10s).reply; }
  orvo_test::TestPipe pipe_;
  std::unique_ptr<IpcServer> server_;
};

// A socket file left by a service that was killed does not stop the next one. A client that
// connects and never writes is cut off after the request time-out; the one behind it is served,
// and nothing is left for the listener to chew on.
TEST_F(IpcTransport, TakesOverAStaleSocketFileAndCutsOffASilentClient) {
  ASSERT_TRUE(Attach(::bind, Socket(), pipe_.Name()));  // and closed at once
  Serve(200ms);
  const FileDescriptor silent = Socket();
  ASSERT_TRUE(Attach(::connect, silent, pipe_.Name()));
  EXPECT_EQ(Status(), "connected");
  EXPECT_EQ(Reply(silent, 1s), "");  // closed without a reply
  ExpectIdle();
}

// While accept fails for want of a descriptor the listener pauses rather than spins, and serves
// the waiting client once descriptors are free again.
TEST_F(IpcTransport, DescriptorStarvationDoesNotMakeTheListenerSpin) {
  Serve();
  // One request first: the sanitizer's first type check opens a pipe the listener would lack.
  // Its hang-up means the listener has closed its descriptor for it, so the lowest free one
  // below is really the last.
  const FileDescriptor first = Socket();
  ASSERT_TRUE(Attach(::connect, first, pipe_.Name()));
  ASSERT_EQ(::send(first.Get(), "status", 6, MSG_NOSIGNAL), 6);
  ASSERT_EQ(Reply(first, 5s), "connected");
  ASSERT_EQ(Reply(first, 5s), "");
  const FileDescriptor client = Socket();
  rlimit limit{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &limit), 0);
  const int lowest_free = ::dup(client.Get());
  ::close(lowest_free);
  const rlimit none_left = {static_cast<rlim_t>(lowest_free), limit.rlim_max};
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &none_left), 0);
  EXPECT_TRUE(Attach(::connect, client, pipe_.Name()));
  EXPECT_EQ(::send(client.Get(), "status", 6, MSG_NOSIGNAL), 6);
  ExpectIdle();
  ::setrlimit(RLIMIT_NOFILE, &limit);
  EXPECT_EQ(Reply(client, 5s), "connected");
}

}  // namespace
}  // namespace orvo_vpn_win_svc
#endif
