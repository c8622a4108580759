// "status" round trips through the real pipe server, beside a bare echo server on the same
// transport measured in the same run. Reports requests per second, p50 and p99 latency, and the
// server's throughput as a ratio of the echo baseline's.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "ipc/ipc_server.h"
#include "platform/local_message_pipe.h"
#include "platform/local_message_pipe_client.h"

using namespace orvo_vpn_win_svc;
using Clock = std::chrono::steady_clock;

namespace {

struct Figures {
  double requests_per_second = 0;
  double p50_us = 0;
  double p99_us = 0;
};

Figures Measure(const std::wstring& name, const std::string& request, int count) {
  std::vector<double> latencies;
  latencies.reserve(static_cast<size_t>(count));
  const auto start = Clock::now();
  for (int i = 0; i < count; ++i) {
    const auto before = Clock::now();
    const auto exchange = platform::ExchangePipeMessage(name, request, std::chrono::seconds(10));
    if (exchange.status != platform::PipeOpening::Status::kOk) {
      std::fprintf(stderr, "exchange failed, error %u\n", exchange.error);
      std::exit(1);
    }
    latencies.push_back(std::chrono::duration<double, std::micro>(Clock::now() - before).count());
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  std::sort(latencies.begin(), latencies.end());
  return {count / seconds, latencies[latencies.size() / 2], latencies[latencies.size() * 99 / 100]};
}

// The baseline: the same transport with no routing or handler, echoing each request back.
class EchoServer {
 public:
  explicit EchoServer(const std::wstring& name)
      : pipe_(platform::SystemMessagePipes()->Create(name).pipe), thread_([this] { Serve(); }) {}
  ~EchoServer() {
    pipe_->Shutdown();
    thread_.join();
  }

 private:
  void Serve() {
    for (;;) {
      const auto wait = pipe_->WaitForClient();
      if (wait == platform::LocalMessagePipe::WaitResult::kShutDown) {
        return;
      }
      if (wait == platform::LocalMessagePipe::WaitResult::kConnected) {
        if (auto request = pipe_->ReadRequest(IpcServer::kMaxRequestBytes, std::chrono::seconds(5))) {
          pipe_->WriteReply(*request);
        }
        pipe_->DisconnectClient();
      }
    }
  }

  std::unique_ptr<platform::LocalMessagePipe> pipe_;
  std::thread thread_;
};

}  // namespace

int main(int argc, char** argv) {
  const int count = argc > 1 ? std::atoi(argv[1]) : 20000;
  const auto directory = std::filesystem::temp_directory_path() / "orvo-pipe-bench";
  std::filesystem::create_directories(directory);
  std::filesystem::permissions(directory, std::filesystem::perms::owner_all);
  setenv("ORVO_PIPE_DIR", directory.c_str(), 1);

  const std::wstring echo_name = L"\\\\.\\pipe\\OrvoBenchEcho";
  const std::wstring server_name = L"\\\\.\\pipe\\OrvoBenchServer";
  EchoServer echo(echo_name);
  IpcServer server;
  server.status_handler = [] { return std::string("disconnected"); };
  if (!server.Start(server_name)) {
    return 1;
  }
  // Warm up both, then alternate rounds so drift on a shared machine hits both alike.
  Measure(echo_name, "status", count / 10);
  Measure(server_name, "status", count / 10);
  Figures echo_total{};
  Figures server_total{};
  constexpr int kRounds = 10;
  for (int round = 0; round < kRounds; ++round) {
    const Figures e = Measure(echo_name, "status", count / kRounds);
    const Figures s = Measure(server_name, "status", count / kRounds);
    echo_total.requests_per_second += e.requests_per_second / kRounds;
    echo_total.p50_us += e.p50_us / kRounds;
    echo_total.p99_us += e.p99_us / kRounds;
    server_total.requests_per_second += s.requests_per_second / kRounds;
    server_total.p50_us += s.p50_us / kRounds;
    server_total.p99_us += s.p99_us / kRounds;
  }
  std::printf("%-22s %12s %10s %10s\n", "", "requests/s", "p50 us", "p99 us");
  std::printf("%-22s %12.0f %10.1f %10.1f\n", "echo baseline", echo_total.requests_per_second,
              echo_total.p50_us, echo_total.p99_us);
  std::printf("%-22s %12.0f %10.1f %10.1f\n", "IpcServer \"status\"",
              server_total.requests_per_second, server_total.p50_us, server_total.p99_us);
  std::printf("throughput ratio (server / echo): %.3f\n",
              server_total.requests_per_second / echo_total.requests_per_second);
  server.Stop();
  std::filesystem::remove_all(directory);
  return 0;
}
