// The console-mode service under load: 8 clients sending 10,000 mixed requests while a connect
// and a disconnect run, and a crowd larger than the socket's queue arriving while the listener
// is busy with a connect.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "integration/service_namespace.h"
#include "integration/service_requests.h"
#include "integration/service_under_test.h"
#include "platform/local_message_pipe_client.h"
#include "support/poll.h"

#ifndef _WIN32
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <cerrno>
#include <cstring>

#include "platform/posix/file_descriptor.h"
#endif

namespace orvo_vpn_win_svc {
namespace {

using namespace std::chrono_literals;
using namespace orvo_test::service_requests;
using orvo_test::ServiceUnderTest;

constexpr wchar_t kServicePipe[] = L"\\\\.\\pipe\\OrvoVpnWinSvc";
constexpr int kClients = 8;
constexpr int kRequests = 10000;

const std::set<std::string> kStates = {"disconnected", "connecting", "connected", "disconnecting"};

bool IsStatusReply(const std::optional<std::string>& reply) {
  for (const std::string& state : kStates) {
    if (reply == StatusReply(state)) {
      return true;
    }
  }
  return false;
}

bool IsConnectionReport(const std::optional<std::string>& reply) {
  if (reply == kNotConnected) {
    return true;
  }
  const auto report = nlohmann::json::parse(reply.value_or(""), nullptr, false);
  return report.is_object() && report.contains("data") &&
         reply == ConnectedReport(report["data"].value("connected_at", 0LL));
}

// One kind of request and how its reply is judged; nothing stands for "no reply".
struct Row {
  std::string name;
  std::string request;
  std::function<bool(const std::optional<std::string>&)> expected;
};

std::function<bool(const std::optional<std::string>&)> Exactly(std::optional<std::string> text) {
  return [text](const std::optional<std::string>& reply) { return reply == text; };
}

std::vector<Row> MixedRequests() {
  // 8191 bytes is the largest request served.
  std::string largest = R"({"cmd":"status","pad":")";
  largest += std::string(8191 - largest.size() - 2, 'p') + "\"}";
  return {
      {"text status", "status",
       [](const auto& reply) { return reply && kStates.contains(*reply); }},
      {"status", kStatus, IsStatusReply},
      {"8191-byte status", largest, IsStatusReply},
      {"get_connection_info", kInfo, IsConnectionReport},
      {"get_kill_switch_status", kKillSwitchStatus, Exactly(KillSwitchReply(false))},
      {"is_relay_proxy_running", kRelayRunning, Exactly(RelayReply(false))},
      {"lone brace", "{", Exactly(ParseErrorReply("{"))},
      {"cut-off JSON", R"({"cmd":"status")", Exactly(ParseErrorReply(R"({"cmd":"status")"))},
      {"unknown command", R"({"cmd":"nope"})",
       Exactly(R"({"error":"unknown_command","success":false})")},
      {"8192-byte request", "{" + std::string(8191, ' '), Exactly(std::nullopt)},
      {"oversize request", "{" + std::string(20000, 'x'), Exactly(std::nullopt)},
      {"permission", "permission", Exactly("ok")},
      {"capital Status", "Status", Exactly("err")},
      {"empty connect:", "connect:", Exactly("err:bad_json")},
  };
}

std::optional<std::string> Send(const std::string& request) {
  const platform::PipeExchange exchange = platform::ExchangePipeMessage(kServicePipe, request, 60s);
  if (exchange.status != platform::PipeOpening::Status::kOk) {
    return std::nullopt;
  }
  return exchange.reply;
}

// Mismatches, kept (a few) for the failure message.
class Mismatches {
 public:
  void Add(const std::string& text) {
    std::lock_guard lock(mutex_);
    if (++count_ <= 5) {
      examples_ += text + "\n";
    }
  }
  int Count() const { return count_; }
  const std::string& Examples() const { return examples_; }

 private:
  std::mutex mutex_;
  std::atomic<int> count_{0};
  std::string examples_;
};

TEST(ServiceLoad, TenThousandMixedRequestsDuringAConnectAndADisconnect) {
  ORVO_RUN_IN_SERVICE_NAMESPACE_OR_SKIP([] {
    ServiceUnderTest service;
    service.SetStandIn({{"SINGBOX_STAND_IN_TUN", "1"}});
    std::string why_not;
    ASSERT_TRUE(service.Start(ServiceUnderTest::Mode::kConsole, {}, why_not)) << why_not;
    // One cycle first, so what a first connect creates for good is in the baseline.
    ASSERT_EQ(service.Raw(kConnect).output, kConnected) << service.Log();
    ASSERT_EQ(service.Raw(kDisconnect).output, kSuccess);
    ASSERT_TRUE(orvo_test::PollUntil([&] { return service.Children().empty(); }));
    const orvo_test::ProcessResources before = service.Holdings();

    const std::vector<Row> rows = MixedRequests();
    std::atomic<int> sent{0};
    std::atomic<int> checked{0};
    std::atomic<int> unanswered{0};
    std::atomic<int> answered_while_up{0};
    Mismatches mismatches;
    {
      std::vector<std::jthread> clients;
      for (int client = 0; client < kClients; ++client) {
        clients.emplace_back([&, client] {
          for (int i = 0; i < kRequests / kClients; ++i) {
            const Row& row = rows[static_cast<size_t>(client * 5 + i) % rows.size()];
            ++sent;
            const std::optional<std::string> reply = Send(row.request);
            ++checked;
            unanswered += reply ? 0 : 1;
            answered_while_up += reply == "connected" ? 1 : 0;
            if (!row.expected(reply)) {
              mismatches.Add(row.name + ": " + reply.value_or("(no reply)"));
            }
          }
        });
      }
      // The connect and the disconnect in the middle of the load.
      ASSERT_TRUE(orvo_test::PollUntil([&] { return sent >= 1000; }, 60s));
      EXPECT_EQ(service.Raw(kConnect).output, kConnected) << service.Log();
      const int sent_at_connect = sent;
      EXPECT_EQ(service.Raw(kDisconnect).output, kSuccess);
      std::printf("load: connect and disconnect done after %d of %d requests\n", sent_at_connect,
                  kRequests);
      EXPECT_LT(sent_at_connect, kRequests) << "the connect did not overlap the load";
    }
    orvo_test::ProcessResources after;
    orvo_test::PollUntil([&] {
      after = service.Holdings();
      return after == before;
    });
    std::printf(
        "load: %d requests, %d replies checked, %d mismatches, %d left unanswered (the oversize "
        "ones), %d answered \"connected\"; service before %s, after %s\n",
        sent.load(), checked.load(), mismatches.Count(), unanswered.load(),
        answered_while_up.load(), before.Text().c_str(), after.Text().c_str());
    ::testing::Test::RecordProperty("requests", std::to_string(sent.load()));
    ::testing::Test::RecordProperty("replies_checked", std::to_string(checked.load()));
    ::testing::Test::RecordProperty("before", before.Text());
    ::testing::Test::RecordProperty("after", after.Text());
    EXPECT_EQ(sent.load(), kRequests);
    EXPECT_EQ(checked.load(), kRequests);
    EXPECT_EQ(mismatches.Count(), 0) << mismatches.Examples();
    EXPECT_EQ(after.Text(), before.Text());
    EXPECT_EQ(service.Raw("status").output, "disconnected") << "the service still answers";
  });
}

#ifndef _WIN32

using platform::FileDescriptor;

// One client that does not wait in the kernel when the queue is full: it is told the socket is
// busy (EAGAIN), as a Windows client is told the pipe is busy, and tries again.
class RetryingClient {
 public:
  // Tries to connect once and, when connected, sends "status". True once connected.
  bool TryOnce(const std::string& path, int& refusals) {
    if (socket_.Valid()) {
      return true;
    }
    FileDescriptor socket(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    if (::connect(socket.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address)) !=
        0) {
      refusals += errno == EAGAIN ? 1 : 0;
      return false;
    }
    ::send(socket.Get(), "status", 6, MSG_NOSIGNAL);
    socket_ = std::move(socket);
    return true;
  }

  std::string Reply(std::chrono::milliseconds timeout) {
    pollfd readable{socket_.Get(), POLLIN, 0};
    if (::poll(&readable, 1, static_cast<int>(timeout.count())) != 1) {
      return "(no reply)";
    }
    char buffer[256];
    const ssize_t size = ::recv(socket_.Get(), buffer, sizeof buffer, 0);
    return size > 0 ? std::string(buffer, static_cast<size_t>(size)) : "(disconnected)";
  }

 private:
  FileDescriptor socket_;
};

TEST(ServiceLoad, ClientsThatFindTheSocketBusyGetThroughByRetrying) {
  ORVO_RUN_IN_SERVICE_NAMESPACE_OR_SKIP([] {
    ServiceUnderTest service;
    // A connect that keeps the listener busy for a while.
    service.SetStandIn(
        {{"SINGBOX_STAND_IN_TUN", "1"}, {"SINGBOX_STAND_IN_READY_DELAY_MS", "1500"}});
    std::string why_not;
    ASSERT_TRUE(service.Start(ServiceUnderTest::Mode::kConsole, {}, why_not)) << why_not;
    orvo_test::CtlResult connect;
    std::jthread connecting([&] { connect = service.Raw(kConnect); });
    ASSERT_TRUE(service.WaitForLog("Waiting for sing-box started signal", 10s));

    const std::string path = std::string(std::getenv("ORVO_PIPE_DIR")) + "/OrvoVpnWinSvc";
    std::vector<RetryingClient> crowd(100);  // more than the queue holds
    int refusals = 0;
    for (RetryingClient& client : crowd) {
      client.TryOnce(path, refusals);
    }
    const int refused_first = refusals;
    EXPECT_GT(refused_first, 0) << "the queue never filled";
    EXPECT_TRUE(orvo_test::PollUntil(
        [&] {
          bool all = true;
          for (RetryingClient& client : crowd) {
            all = client.TryOnce(path, refusals) && all;
          }
          return all;
        },
        60s));
    int answered = 0;
    for (RetryingClient& client : crowd) {
      const std::string reply = client.Reply(30s);
      answered += kStates.contains(reply) ? 1 : 0;
      EXPECT_TRUE(kStates.contains(reply)) << reply;
    }
    connecting.join();
    EXPECT_EQ(connect.output, kConnected);
    std::printf("busy socket: %zu clients, %d refused at first, %d refusals in all, %d answered\n",
                crowd.size(), refused_first, refusals, answered);
    ::testing::Test::RecordProperty("busy_refusals", std::to_string(refusals));
    EXPECT_EQ(answered, static_cast<int>(crowd.size()));
    EXPECT_EQ(service.Raw(kDisconnect).output, kSuccess);
  });
}

#endif

}  // namespace
}  // namespace orvo_vpn_win_svc
