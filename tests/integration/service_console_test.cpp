// The service as a user runs it on Linux: orvo-vpn-svc --console from a directory holding the
// sing-box stand-in, as root in a network namespace of its own, driven only through the real
// orvo-vpn-ctl; every reply compared byte for byte.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "integration/service_namespace.h"
#include "integration/service_requests.h"
#include "integration/service_under_test.h"
#include "support/namespace_network.h"
#include "support/poll.h"
#include "support/stand_in.h"
#include "support/tcp_probe.h"

namespace orvo_vpn_win_svc {
namespace {

using namespace std::chrono_literals;
using namespace orvo_test::service_requests;
using orvo_test::CtlResult;
using orvo_test::ServiceUnderTest;

struct Exchange {
  std::vector<std::string> arguments;  // to orvo-vpn-ctl
  std::string output;                  // what it prints
  int exit_code;
};

void ExpectExchanges(const ServiceUnderTest& service, const std::vector<Exchange>& exchanges) {
  for (const Exchange& exchange : exchanges) {
    SCOPED_TRACE(exchange.arguments.back());
    const CtlResult result = service.Ctl(exchange.arguments);
    EXPECT_EQ(result.output, exchange.output);
    EXPECT_EQ(result.exit_code, exchange.exit_code);
  }
}

bool TunExists() {
  return orvo_test::LinkIndex("OrvoVPN") != 0;
}

void ExpectIdleReplies(const ServiceUnderTest& service) {
  ExpectExchanges(
      service,
      {
          {{"raw", "status"}, "disconnected", 0},
          {{"status"}, StatusReply("disconnected") + "\n", 0},
          {{"raw", "permission"}, "ok", 0},
          {{"raw", R"({"cmd":"permission"})"}, kSuccess, 0},
          {{"raw", "Status"}, "err", 1},
          {{"raw", "connect:"}, "err:bad_json", 1},
          {{"raw", "{"}, ParseErrorReply("{"), 1},
          {{"raw", R"({"cmd":"nope"})"}, R"({"error":"unknown_command","success":false})", 1},
          {{"raw", kInfo}, kNotConnected, 1},
          {{"raw", kKillSwitchStatus}, KillSwitchReply(false), 0},
          {{"raw", kRelayRunning}, RelayReply(false), 0},
      });
}

void ExpectSavedState(const ServiceUnderTest& service, long long connected_at) {
  const auto saved = nlohmann::ordered_json::parse(
      orvo_test::ReadWholeFile(service.StateFile().string()), nullptr, false);
  ASSERT_TRUE(saved.is_object()) << "no JSON at " << service.StateFile();
  std::vector<std::string> keys;
  for (const auto& item : saved.items()) {
    keys.push_back(item.key());
  }
  const std::vector<std::string> expected_keys = {
      "access_code", "assigned_ip", "connected_at",      "protocol",
      "saved_at",    "server_city", "server_country",    "server_country_code",
      "server_id",   "server_ip",   "server_latency_ms", "session_id",
      "status",      "use_tor",     "worker_endpoint"};
  EXPECT_EQ(keys, expected_keys);
  EXPECT_EQ(saved.value("status", -1), 2);
  EXPECT_EQ(saved.value("connected_at", 0LL), connected_at);
  EXPECT_GE(saved.value("saved_at", 0LL), connected_at);
  EXPECT_EQ(saved.value("access_code", ""), "AC-1234");
  EXPECT_EQ(saved.value("protocol", ""), "hysteria2");
  EXPECT_EQ(saved.value("server_ip", ""), "198.51.100.7");
  EXPECT_EQ(saved.value("server_latency_ms", 0), 23);
  EXPECT_EQ(saved.value("worker_endpoint", ""), "198.51.100.7:443");
  EXPECT_FALSE(saved.value("use_tor", true));
}

TEST(ServiceConsole, EveryCommandThroughTheClientGetsItsExactReply) {
  ORVO_RUN_IN_SERVICE_NAMESPACE_OR_SKIP([] {
    ServiceUnderTest service;
    service.SetStandIn({{"SINGBOX_STAND_IN_TUN", "1"}});
    std::string why_not;
    ASSERT_TRUE(service.Start(ServiceUnderTest::Mode::kConsole, {}, why_not)) << why_not;
    ExpectIdleReplies(service);

    // A Hysteria2 connect, the stand-in raising the real TUN interface.
    const long long before = std::time(nullptr);
    const auto start = std::chrono::steady_clock::now();
    const CtlResult connect = service.Raw(kConnect);
    const long long took = std::chrono::duration_cast<std::chrono::milliseconds>(
                               std::chrono::steady_clock::now() - start)
                               .count();
    ASSERT_EQ(connect.output, kConnected) << service.Log();
    EXPECT_EQ(connect.exit_code, 0);
    std::printf("console-mode Hysteria2 connect through orvo-vpn-ctl: %lld ms\n", took);
    ::testing::Test::RecordProperty("connect_ms", std::to_string(took));
    EXPECT_TRUE(TunExists());
    EXPECT_EQ(service.Raw("status").output, "connected");

    const CtlResult info = service.Raw(kInfo);
    const auto report = nlohmann::json::parse(info.output, nullptr, false);
    const long long connected_at =
        report.is_object() ? report["data"].value("connected_at", 0LL) : 0;
    EXPECT_GE(connected_at, before);
    EXPECT_LE(connected_at, static_cast<long long>(std::time(nullptr)));
    EXPECT_EQ(info.output, ConnectedReport(connected_at));
    EXPECT_EQ(info.exit_code, 0);
    ExpectSavedState(service, connected_at);

    // The kill switch, raw and through the client's own command.
    ExpectExchanges(
        service,
        {{{"raw", R"({"cmd":"set_kill_switch","settings":{"enabled":true,"allow_lan":true,)"
                  R"("allowlist":["198.51.100.1"]}})"},
          kSuccess,
          0},
         {{"raw", kKillSwitchStatus}, KillSwitchReply(true), 0},
         {{"kill-switch", "status"}, KillSwitchReply(true) + "\n", 0},
         {{"kill-switch", "off"}, std::string(kSuccess) + "\n", 0},
         {{"raw", kKillSwitchStatus}, KillSwitchReply(false), 0}});
    const std::string log = service.Log();
    for (const char* line : {"ORVO_SVC: Kill switch request - enabled=1, allow_lan=1\n",
                             "ORVO_SVC: Kill switch - permitted_apps=0\n",
                             "ORVO_SVC: Enabling kill switch immediately\n",
                             "ORVO_SVC: Kill switch request - enabled=0, allow_lan=1\n",
                             "ORVO_SVC: Disabling kill switch immediately\n"}) {
      EXPECT_NE(log.find(line), std::string::npos) << line;
    }
    EXPECT_EQ(log.find("ORVO_SVC: Failed to enable kill switch\n"), std::string::npos);

    // The relay proxy beside the tunnel.
    const int port = orvo_test::FreeLoopbackPort();
    ExpectExchanges(service, {{{"raw", RelayStart(port)}, kSuccess, 0},
                              {{"raw", kRelayRunning}, RelayReply(true), 0}});
    EXPECT_TRUE(orvo_test::PollUntil([&] { return orvo_test::AcceptsConnections(port); }));
    EXPECT_TRUE(service.WaitForLog("ORVO_SVC: Starting relay proxy to 127.0.0.1:8443\n", 1s));
    ExpectExchanges(service, {{{"raw", kRelayStop}, kSuccess, 0},
                              {{"raw", kRelayRunning}, RelayReply(false), 0}});
    EXPECT_EQ(service.Raw("status").output, "connected") << "the relay leaves the tunnel alone";

    // Disconnect: the tunnel, its child and the state file go.
    ExpectExchanges(service, {{{"raw", kDisconnect}, kSuccess, 0}});
    EXPECT_FALSE(std::filesystem::exists(service.StateFile()));
    ExpectExchanges(service, {{{"raw", kInfo}, kNotConnected, 1},
                              {{"raw", "status"}, "disconnected", 0},
                              {{"raw", "disconnect"}, "ok", 0},
                              {{"raw", kStatus}, StatusReply("disconnected"), 0}});
    EXPECT_TRUE(orvo_test::PollUntil([] { return !TunExists(); }));
    EXPECT_TRUE(orvo_test::PollUntil([&] { return service.Children().empty(); }))
        << service.Children().size() << " children left";
  });
}

// The WireGuard leg of the same walk: the client sends a legacy configuration file, the service
// brings the tunnel up through its libwintun.so and the WireGuard stand-in against the stand-in
// server, and pings cross it.
TEST(ServiceConsole, WireGuardLegacyConnectThroughTheStandInLibrary) {
  ORVO_RUN_IN_SERVICE_NAMESPACE_OR_SKIP([] {
    orvo_test::WireGuardPeer peer;
    ServiceUnderTest service;
    std::string why;
    ASSERT_TRUE(service.StartBesideWireGuardPeer(peer, why)) << why;
    const std::filesystem::path configuration = service.InstallDirectory() / "wireguard.json";
    std::ofstream(configuration) << orvo_test::WireGuardPeer::LegacyConfiguration();

    ExpectExchanges(service, {{{"wg-connect", configuration.string()}, "ok\n", 0},
                              {{"raw", "status"}, "connected", 0},
                              {{"raw", kStatus}, StatusReply("connected"), 0},
                              // The WireGuard connect leaves the connection record alone.
                              {{"raw", kInfo}, kNotConnected, 1}});
    EXPECT_NE(orvo_test::LinkIndex("ORVO-VPN"), 0) << service.Log();
    EXPECT_TRUE(orvo_test::Ping(orvo_test::WireGuardPeer::kTunnelServerAddress, 5s))
        << "no echo reply through the tunnel";
    EXPECT_FALSE(std::filesystem::exists(service.StateFile()));

    ExpectExchanges(service,
                    {{{"raw", "disconnect"}, "ok", 0}, {{"raw", "status"}, "disconnected", 0}});
    EXPECT_EQ(orvo_test::LinkIndex("ORVO-VPN"), 0) << "the adapter is removed";
  });
}

}  // namespace
}  // namespace orvo_vpn_win_svc
