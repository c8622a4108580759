// The client turns its command line into exactly the request the service expects, and its exit
// code tells success, a refused command and an unreachable service apart.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "ctl_reply.h"
#include "ctl_request.h"

namespace orvo_vpn_ctl {
namespace {

struct ArgumentCase {
  std::vector<std::string> arguments;
  std::string message;
};

class CtlArguments : public ::testing::TestWithParam<ArgumentCase> {};

TEST_P(CtlArguments, BuildTheExactRequest) {
  const CtlParse parse = ParseCtlArguments(GetParam().arguments);
  ASSERT_TRUE(parse.ok) << parse.error;
  EXPECT_EQ(parse.request.message, GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(
    Commands, CtlArguments,
    ::testing::Values(
        ArgumentCase{{"status"}, R"({"cmd":"status"})"},
        ArgumentCase{{"disconnect"}, R"({"cmd":"disconnect"})"},
        ArgumentCase{{"info"}, R"({"cmd":"get_connection_info"})"},
        ArgumentCase{{"permission"}, R"({"cmd":"permission"})"},
        ArgumentCase{{"raw", " status\n"}, " status\n"},
        ArgumentCase{{"connect", "--server-ip", "203.0.113.7", "--port", "8443", "--password",
                      "pw", "--obfs-password", "", "--speed-mbps", "100", "--tor",
                      "--server-id", "de-1", "--latency-ms", "42"},
                     R"({"cmd":"connect","config":{"obfs_password":"","password":"pw","port":8443,)"
                     R"("server_ip":"203.0.113.7","speed_mbps":100,"use_tor":true},)"
                     R"("metadata":{"server_id":"de-1","server_latency_ms":42}})"},
        ArgumentCase{{"connect"}, R"({"cmd":"connect","config":{},"metadata":{}})"},
        ArgumentCase{{"kill-switch", "on", "--allow", "198.51.100.1", "--app", "C:\\a.exe"},
                     R"({"cmd":"set_kill_switch","settings":{"allow_lan":true,)"
                     R"("allowlist":["198.51.100.1"],"enabled":true,"permitted_apps":["C:\\a.exe"]}})"},
        ArgumentCase{{"kill-switch", "off", "--no-lan"},
                     R"({"cmd":"set_kill_switch","settings":{"allow_lan":false,"allowlist":[],)"
                     R"("enabled":false,"permitted_apps":[]}})"},
        ArgumentCase{{"kill-switch", "status"}, R"({"cmd":"get_kill_switch_status"})"},
        ArgumentCase{{"relay", "start", "--domain", "relay.example", "--local-port", "1080"},
                     R"({"cmd":"start_relay_proxy","config":{"local_port":1080,)"
                     R"("relay_domain":"relay.example"}})"},
        ArgumentCase{{"relay", "stop"}, R"({"cmd":"stop_relay_proxy"})"},
        ArgumentCase{{"relay", "status"}, R"({"cmd":"is_relay_proxy_running"})"},
        ArgumentCase{{"--pretty", "--pipe", "\\\\.\\pipe\\Other", "status"},
                     R"({"cmd":"status"})"}));

TEST(CtlArguments, ReadsConnectConfigAndWireGuardFiles) {
  const auto directory = std::filesystem::temp_directory_path() / "orvo-ctl-test";
  std::filesystem::create_directories(directory);
  const auto config = directory / "config.json";
  const auto wireguard = directory / "wg.conf";
  std::ofstream(config) << R"({"server_ip":"192.0.2.1","port":443})";
  std::ofstream(wireguard) << R"({"serverEndpoint":"192.0.2.1:51820"})";

  // Options on the command line override the file's members.
  const CtlParse connect = ParseCtlArguments({"connect", "--config", config.string(), "--port", "9"});
  ASSERT_TRUE(connect.ok) << connect.error;
  EXPECT_EQ(connect.request.message,
            R"({"cmd":"connect","config":{"port":9,"server_ip":"192.0.2.1"},"metadata":{}})");

  const CtlParse wg = ParseCtlArguments({"wg-connect", wireguard.string()});
  ASSERT_TRUE(wg.ok) << wg.error;
  EXPECT_EQ(wg.request.message, R"(connect:{"serverEndpoint":"192.0.2.1:51820"})");
  std::filesystem::remove_all(directory);
}

TEST(CtlArguments, RejectsWhatItCannotSend) {
  const std::vector<std::vector<std::string>> bad = {
      {},
      {"bogus"},
      {"status", "extra"},
      {"connect", "--port"},
      {"connect", "--port", "eighty"},
      {"connect", "--config", "/nonexistent/config.json"},
      {"kill-switch"},
      {"kill-switch", "maybe"},
      {"relay", "restart"},
      {"raw"},
      {"--colour", "status"},
  };
  for (const auto& arguments : bad) {
    const CtlParse parse = ParseCtlArguments(arguments);
    EXPECT_FALSE(parse.ok) << ::testing::PrintToString(arguments);
    EXPECT_FALSE(parse.error.empty());
  }
}

TEST(CtlReply, ExitCodeFollowsTheServicesAnswer) {
  const std::vector<std::pair<std::string, int>> cases = {
      {R"({"success":true})", kExitSuccess},
      {R"({"error":"","success":true})", kExitSuccess},
      {R"({"data":{"status":"connected"},"success":true})", kExitSuccess},
      {R"({"error":"unknown_command","success":false})", kExitServiceFailure},
      {R"({"success":"true"})", kExitServiceFailure},
      {R"({"broken)", kExitServiceFailure},
      {"ok", kExitSuccess},
      {"disconnected", kExitSuccess},
      {"connected", kExitSuccess},
      {"err", kExitServiceFailure},
      {"err:bad_json", kExitServiceFailure},
      {"err:connect_failed", kExitServiceFailure},
  };
  for (const auto& [reply, code] : cases) {
    EXPECT_EQ(ExitCodeForReply(reply), code) << reply;
  }
}

TEST(CtlReply, PrettyPrintsJsonAndLeavesTextAlone) {
  EXPECT_EQ(FormatReply(R"({"data":{"enabled":true},"success":true})", true),
            "{\n  \"data\": {\n    \"enabled\": true\n  },\n  \"success\": true\n}");
  EXPECT_EQ(FormatReply("disconnected", true), "disconnected");
  EXPECT_EQ(FormatReply(R"({"success":true})", false), R"({"success":true})");
}

}  // namespace
}  // namespace orvo_vpn_ctl
