// The pipe server over the system's real transport: a named pipe on Windows (run under Wine),
// an AF_UNIX seqpacket socket on Linux.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <future>
#include <thread>
#include <vector>

#include "ipc/ipc_server.h"
#include "platform/local_message_pipe_client.h"
#include "platform/log_capture.h"
#include "platform/process_metrics.h"
#include "support/platform_kind.h"
#include "support/poll.h"
#include "support/stale_socket.h"
#include "support/test_pipe.h"

#ifndef _WIN32
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>

#include "platform/posix/file_descriptor.h"
#include "platform/posix/socket_path.h"
#endif

namespace orvo_vpn_win_svc {
namespace {

using platform::PipeOpening;
using namespace std::chrono_literals;

constexpr auto kBusyWait = 10s;

platform::PipeExchange Exchange(const orvo_test::TestPipe& pipe, const std::string& request) {
  return platform::ExchangePipeMessage(pipe.Name(), request, kBusyWait);
}

class IpcTransportTest : public ::testing::Test {
 protected:
  // Over an idle stretch the process uses next to no CPU: PollUntil itself wakes every 2 ms and
  // costs a few milliseconds; a spinning listener takes whatever share of a core it can get
  // (about 50 ms on a machine loaded ten times over, most of the 300 ms on an idle one).
  static void ExpectIdle() {
    const auto cpu_before = platform::ProcessMetrics::CpuTime();
    const auto wall_before = std::chrono::steady_clock::now();
    orvo_test::PollUntil([&] { return std::chrono::steady_clock::now() - wall_before >= 300ms; },
                         1s);
    const auto cpu_used = platform::ProcessMetrics::CpuTime() - cpu_before;
    EXPECT_LT(cpu_used, 30ms) << "CPU used over 300 ms of idling: " << cpu_used.count() << " us";
  }

  void StartServer(std::chrono::milliseconds request_timeout = IpcServer::kDefaultRequestTimeout) {
    server_ = std::make_unique<IpcServer>(platform::SystemMessagePipes(), request_timeout);
    server_->status_handler = [] { return std::string("connected"); };
    ASSERT_TRUE(server_->Start(pipe_.Name()));
  }

  orvo_test::TestPipe pipe_;
  std::unique_ptr<IpcServer> server_;
};

TEST_F(IpcTransportTest, AnswersOneRequestPerConnection) {
  StartServer();
  for (int i = 0; i < 3; ++i) {
    const auto exchange = Exchange(pipe_, "status");
    ASSERT_EQ(exchange.status, PipeOpening::Status::kOk);
    EXPECT_EQ(exchange.reply, "connected");
  }
}

TEST_F(IpcTransportTest, LogsPipeCreation) {
  LogCapture capture;
  StartServer();
  const std::string expected = "IPC: Creating pipe '" +
                               std::string(pipe_.Name().begin(), pipe_.Name().end()) +
                               "'...\nIPC: Pipe created successfully\n";
  EXPECT_EQ(capture.StandardError(), expected);
}

TEST_F(IpcTransportTest, ServesRequestsUpTo8191BytesAndDropsLongerOnes) {
  StartServer();
  // A request of the maximum length is served; its text is no command.
  const auto longest = Exchange(pipe_, std::string(8191, 'x'));
  ASSERT_EQ(longest.status, PipeOpening::Status::kOk);
  EXPECT_EQ(longest.reply, "err");

  for (const size_t length : {size_t{8192}, size_t{8193}}) {
    const auto too_long = Exchange(pipe_, std::string(length, 'x'));
    EXPECT_EQ(too_long.status, PipeOpening::Status::kFailed) << length;
    EXPECT_EQ(too_long.reply, "") << length;
  }
  // The server goes on serving.
  EXPECT_EQ(Exchange(pipe_, "status").reply, "connected");
}

TEST_F(IpcTransportTest, RoutesByTheFirstByteAndWholeText) {
  StartServer();
  const std::string parse_error_prefix = R"({"error":"parse_error: )";
  EXPECT_EQ(Exchange(pipe_, "{").reply.rfind(parse_error_prefix, 0), 0u);
  EXPECT_EQ(Exchange(pipe_, " {").reply, "err");
  EXPECT_EQ(Exchange(pipe_, "connect:").reply, "err:bad_json");
  EXPECT_EQ(Exchange(pipe_, "").reply, "err");
  EXPECT_EQ(Exchange(pipe_, "status\n").reply, "err");
}

TEST_F(IpcTransportTest, ClientThatLeavesWithoutWritingDoesNotStopTheServer) {
  StartServer();
  for (int i = 0; i < 50; ++i) {
    auto opening = platform::OpenPipeConnection(pipe_.Name(), kBusyWait);
    ASSERT_EQ(opening.status, PipeOpening::Status::kOk);
  }
  EXPECT_EQ(Exchange(pipe_, "status").reply, "connected");

  // Nothing is left for the listener to chew on: over an idle stretch it uses next to no CPU.
  ExpectIdle();
}

#ifndef _WIN32
// Linux: while accept fails for want of a descriptor the listener pauses between tries rather
// than spin, and serves the client that waited once descriptors are free again.
TEST_F(IpcTransportTest, NoDescriptorLeftForAcceptDoesNotMakeTheListenerSpin) {
  StartServer();
  // One request first: UndefinedBehaviorSanitizer's first check of a call through a type opens
  // a pipe, which the listener could not have once no descriptor is left.
  ASSERT_EQ(Exchange(pipe_, "status").reply, "connected");
  platform::FileDescriptor client(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  const std::string path = platform::PipeSocketPath(pipe_.Name());
  ASSERT_LT(path.size(), sizeof(address.sun_path));
  path.copy(address.sun_path, path.size());
  rlimit limit{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &limit), 0);
  // The lowest free descriptor number as the limit: no new descriptor can be had.
  const int lowest = ::dup(client.Get());
  ::close(lowest);
  const rlimit none_left = {static_cast<rlim_t>(lowest), limit.rlim_max};
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &none_left), 0);
  EXPECT_EQ(::connect(client.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address)),
            0);
  EXPECT_EQ(::send(client.Get(), "status", 6, MSG_NOSIGNAL), 6);
  ExpectIdle();
  ::setrlimit(RLIMIT_NOFILE, &limit);
  pollfd readable = {client.Get(), POLLIN, 0};
  ASSERT_EQ(::poll(&readable, 1, 5000), 1);
  char reply[64] = {};
  EXPECT_EQ(::recv(client.Get(), reply, sizeof(reply), 0), 9);
  EXPECT_STREQ(reply, "connected");
}
#endif

TEST_F(IpcTransportTest, IdleClientIsDisconnectedSoOthersGetThrough) {
  StartServer(200ms);
  auto idle = platform::OpenPipeConnection(pipe_.Name(), kBusyWait);
  ASSERT_EQ(idle.status, PipeOpening::Status::kOk);
  const auto started = std::chrono::steady_clock::now();
  const auto exchange = Exchange(pipe_, "status");
  EXPECT_EQ(exchange.reply, "connected");
  EXPECT_GE(std::chrono::steady_clock::now() - started, 150ms);
  // The idle client was cut off without a reply.
  EXPECT_FALSE(idle.connection->Receive().has_value());
}

TEST_F(IpcTransportTest, ConcurrentClientsAreServedInTurn) {
  StartServer();
  std::vector<std::future<std::string>> replies;
  for (int i = 0; i < 8; ++i) {
    replies.push_back(std::async(std::launch::async, [this] {
      std::string all;
      for (int j = 0; j < 20; ++j) {
        all += Exchange(pipe_, "status").reply + ";";
      }
      return all;
    }));
  }
  std::string expected;
  for (int j = 0; j < 20; ++j) {
    expected += "connected;";
  }
  for (auto& reply : replies) {
    EXPECT_EQ(reply.get(), expected);
  }
}

TEST_F(IpcTransportTest, SecondStartFailsAndTheFirstPipeKeepsServing) {
  StartServer();
  LogCapture capture;
  EXPECT_FALSE(server_->Start(pipe_.Name()));
  EXPECT_EQ(capture.StandardError(), "");
  EXPECT_EQ(Exchange(pipe_, "status").reply, "connected");
}

TEST_F(IpcTransportTest, NameIsFreeAfterStopAndCanBeServedAgain) {
  StartServer();
  server_->Stop();
  EXPECT_FALSE(server_->IsRunning());
  EXPECT_EQ(Exchange(pipe_, "status").status, PipeOpening::Status::kNotFound);
  server_->Stop();  // harmless when stopped

  ASSERT_TRUE(server_->Start(pipe_.Name()));
  EXPECT_EQ(Exchange(pipe_, "status").reply, "connected");
}

// Windows refuses the second pipe for its FILE_FLAG_FIRST_PIPE_INSTANCE (Wine 8 does not enforce
// that flag) and for the maximum of one instance the first pipe was made with.
TEST_F(IpcTransportTest, AnotherServerCannotTakeTheNameFirst) {
  StartServer();
  IpcServer intruder;
  LogCapture capture;
  EXPECT_FALSE(intruder.Start(pipe_.Name()));
  EXPECT_FALSE(intruder.IsRunning());
  EXPECT_EQ(capture.StandardError().find("IPC: Pipe created successfully"), std::string::npos);
  EXPECT_NE(capture.StandardError().find("IPC: CreateNamedPipeW failed, error "),
            std::string::npos);
  EXPECT_EQ(Exchange(pipe_, "status").reply, "connected");
}

TEST_F(IpcTransportTest, StopWhileAClientIsConnectedEndsPromptly) {
  StartServer();
  auto idle = platform::OpenPipeConnection(pipe_.Name(), kBusyWait);
  ASSERT_EQ(idle.status, PipeOpening::Status::kOk);
  const auto started = std::chrono::steady_clock::now();
  server_->Stop();
  EXPECT_LT(std::chrono::steady_clock::now() - started, 2s);
}

TEST_F(IpcTransportTest, ServingLeavesNoHandleOrThreadBehind) {
  StartServer();
  Exchange(pipe_, "status");
  server_->Stop();
  const size_t handles = platform::ProcessMetrics::OpenHandles();
  const size_t threads = platform::ProcessMetrics::Threads();
  for (int round = 0; round < 5; ++round) {
    ASSERT_TRUE(server_->Start(pipe_.Name()));
    for (int i = 0; i < 20; ++i) {
      Exchange(pipe_, "status");
    }
    server_->Stop();
  }
  EXPECT_EQ(platform::ProcessMetrics::OpenHandles(), handles);
  EXPECT_EQ(platform::ProcessMetrics::Threads(), threads);
}

// Linux: a socket file left by a service that was killed does not block the next start, and
// the socket directory must not be writable by others.
TEST_F(IpcTransportTest, TakesOverAStaleSocketFile) {
  if (!orvo_test::LeaveStaleSocket(pipe_.SocketDirectory() / "OrvoVpnTest-stale")) {
    GTEST_SKIP() << "socket files exist only on Linux";
  }
  const std::wstring stale_name = L"\\\\.\\pipe\\OrvoVpnTest-stale";
  IpcServer server;
  server.status_handler = [] { return std::string("taken over"); };
  ASSERT_TRUE(server.Start(stale_name));
  EXPECT_EQ(platform::ExchangePipeMessage(stale_name, "status", kBusyWait).reply, "taken over");
}

TEST_F(IpcTransportTest, RefusesASocketDirectoryOthersCanWrite) {
  if (orvo_test::kWindows) {
    GTEST_SKIP() << "socket directories exist only on Linux";
  }
  std::filesystem::permissions(pipe_.SocketDirectory(), std::filesystem::perms::all);
  IpcServer server;
  LogCapture capture;
  EXPECT_FALSE(server.Start(pipe_.Name()));
  EXPECT_NE(capture.StandardError().find("IPC: CreateNamedPipeW failed, error 1\n"),
            std::string::npos);
}

}  // namespace
}  // namespace orvo_vpn_win_svc
