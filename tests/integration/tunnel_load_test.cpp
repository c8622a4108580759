// The tunnels through the console-mode service: the WireGuard tunnel carrying real packets,
// connect/disconnect cycles of both kinds that must leave nothing behind (ORVO_SOAK_CYCLES of
// them, a few by default; 200 make the full soak), and 10,000 mixed requests from 8 clients
// while a connect and a disconnect run.
#if defined(__linux__)
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <regex>
#include <thread>

#include "integration/harness.h"
#include "platform/local_message_pipe_client.h"
#include "support/network_namespace.h"
#include "support/poll.h"
#include "support/test_pipe.h"
#include "support/tunnel_libraries.h"

namespace orvo_test {
namespace {

using namespace std::chrono_literals;

const std::string kHysteria2 =
    R"({"cmd":"connect","config":{"server_ip":"198.51.100.7","password":"pw"}})";

// Connects and disconnects ORVO_SOAK_CYCLES times (3 unless set) after a first cycle that sets
// the baseline: the service's descriptors, threads and children and the namespace's devices and
// routes.
void Soak(Service& service, const std::string& connect, const std::string& connected) {
  const char* configured = std::getenv("ORVO_SOAK_CYCLES");
  const int cycles = configured != nullptr && std::atoi(configured) > 0 ? std::atoi(configured) : 3;
  const auto state = [&] {
    return Holdings(service.Pid()) + "; " +
           ShellOutput(
               "ip -o link | wc -l; ip route show table all | wc -l; ip -6 route show "
               "table all | wc -l");
  };
  std::string before;
  for (int cycle = 0; cycle <= cycles; ++cycle) {
    ASSERT_EQ(service.Raw(connect), connected) << "cycle " << cycle << "\n" << service.Log();
    ASSERT_EQ(service.Raw("status"), "connected");
    ASSERT_EQ(service.Raw("disconnect"), "ok");
    if (cycle == 0) {
      ASSERT_TRUE(PollUntil([&] { return ChildrenOf(service.Pid()).empty(); }));
      before = state();
    }
  }
  EXPECT_EQ(PollFor(state, before), before);
}

// The far end and the tunnel's steps are the transcript's; the soak repeats its connect.
TEST(Tunnels, WireGuardCarriesPacketsAndCyclesLeaveNothingBehind) {
  ORVO_IN_NAMESPACE_OR_SKIP([] {
    Service service;
    std::string why;
    ASSERT_TRUE(service.Start(true, {TunnelLibrarySearchPath()}, why)) << why;
    const std::string transcript = GoldenText("integration/wireguard.txt");
    EXPECT_EQ(service.Transcript("wireguard.txt"), transcript) << service.Log();
    const size_t connect = transcript.find("$ raw connect:") + 6;
    const std::string request =
        transcript.substr(connect, transcript.find('\n', connect) - connect);
    Soak(service, request, "ok");
  });
}

TEST(Tunnels, LoadDuringAConnectAndHysteria2CyclesLeaveNothingBehind) {
  ORVO_IN_NAMESPACE_OR_SKIP([] {
    Service service;
    std::string why;
    ASSERT_TRUE(service.Start(true, {}, why)) << why;
    Soak(service, kHysteria2, R"({"error":"","success":true})");
    const std::string before = Holdings(service.Pid());

    // Requests and the replies they may get (a pattern), "(none)" for none.
    const std::vector<std::pair<std::string, std::regex>> rows = {
        {"status", std::regex("(dis)?connect(ed|ing)")},
        {R"({"cmd":"get_connection_info"})",
         std::regex(R"(\{"error":"not_connected","success":false\}|\{"data":\{"access_code".*)")},
        {"{" + std::string(8191, ' '), std::regex(R"(\(none\))")},
    };
    SetEnvironment("ORVO_PIPE_DIR",
                   "/proc/" + std::to_string(service.Pid()) + "/root/run/orvo-vpn");
    std::atomic<int> sent{0};
    std::atomic<int> wrong{0};
    {
      std::vector<std::jthread> clients;
      for (int client = 0; client < 8; ++client) {
        clients.emplace_back([&, client] {
          for (int i = 0; i < 1250; ++i) {
            const auto& [request, reply] = rows[static_cast<size_t>(client + i) % rows.size()];
            ++sent;
            const auto exchange = orvo_vpn_win_svc::platform::ExchangePipeMessage(
                L"\\\\.\\pipe\\OrvoVpnWinSvc", request, 60s);
            const bool ok = exchange.status == orvo_vpn_win_svc::platform::PipeOpening::Status::kOk;
            wrong += std::regex_match(ok ? exchange.reply : "(none)", reply) ? 0 : 1;
          }
        });
      }
      ASSERT_TRUE(PollUntil([&] { return sent >= 1000; }, 60s));
      EXPECT_EQ(service.Raw(kHysteria2), R"({"error":"","success":true})");
      EXPECT_EQ(service.Raw(R"({"cmd":"disconnect"})"), R"({"success":true})");
      EXPECT_LT(sent.load(), 10000) << "the connect did not overlap the load";
    }
    SetEnvironment("ORVO_PIPE_DIR", "");
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_EQ(PollFor([&] { return Holdings(service.Pid()); }, before), before);
  });
}

}  // namespace
}  // namespace orvo_test
#endif
