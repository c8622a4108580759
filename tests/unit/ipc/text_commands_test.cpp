#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "ipc/ipc_server.h"
#include "unit/ipc/recording_handlers.h"

namespace orvo_vpn_win_svc {
namespace {

using namespace std::string_literals;

constexpr const char* kLegacyConfig =
    R"({"serverEndpoint":"198.51.100.7:51820","serverPublicKey":"pub=","privateKey":"priv=",)"
    R"("assignedIp":"10.8.0.2","dnsServers":["1.1.1.1"],"allowedIps":["0.0.0.0/0"],"mtu":1420})";

struct TextCase {
  const char* name;
  std::string request;
  std::string reply_without_handlers;
  std::string reply_with_handlers;
  std::vector<std::string> calls;
};

// Names the case in test output instead of dumping its bytes.
void PrintTo(const TextCase& c, std::ostream* os) { *os << c.name; }

std::string CaseName(const testing::TestParamInfo<TextCase>& info) { return info.param.name; }

class TextCommands : public testing::TestWithParam<TextCase> {};

// Text commands match the whole message byte for byte: nothing is trimmed, case matters.
TEST_P(TextCommands, RouteExactly) {
  IpcServer bare;
  EXPECT_EQ(bare.HandleRequest(GetParam().request), GetParam().reply_without_handlers);

  IpcServer server;
  orvo_test::RecordingHandlers handlers;
  handlers.status = "connecting";
  handlers.Install(server);
  EXPECT_EQ(server.HandleRequest(GetParam().request), GetParam().reply_with_handlers);
  EXPECT_EQ(handlers.calls, GetParam().calls);
}

INSTANTIATE_TEST_SUITE_P(
    IpcServer, TextCommands,
    testing::Values(
        TextCase{"Status", "status", "disconnected", "connecting", {"status"}},
        TextCase{"Disconnect", "disconnect", "ok", "ok", {"disconnect"}},
        TextCase{"Permission", "permission", "ok", "ok", {"permission"}},
        TextCase{"StatusNewline", "status\n", "err", "err", {}},
        TextCase{"StatusCapital", "Status", "err", "err", {}},
        TextCase{"StatusLeadingSpace", " status", "err", "err", {}},
        TextCase{"StatusNul", "status\0"s, "err", "err", {}},
        TextCase{"DisconnectPrefix", "disconnect:", "err", "err", {}},
        TextCase{"Empty", "", "err", "err", {}},
        TextCase{"SpaceBeforeBrace", R"( {"cmd":"status"})", "err", "err", {}},
        TextCase{"ConnectNothingAfter", "connect:", "err:bad_json", "err:bad_json", {}},
        TextCase{"ConnectBadConfig", R"(connect:{"mtu":1420})", "err:bad_json", "err:bad_json",
                 {}},
        TextCase{"ConnectCapital", "Connect:"s + kLegacyConfig, "err", "err", {}},
        TextCase{"ConnectValid", "connect:"s + kLegacyConfig, "err:connect_failed", "ok",
                 {"connect"}}),
    CaseName);

TEST(IpcServer, LegacyConnectHandsOverTheParsedRecord) {
  IpcServer server;
  orvo_test::RecordingHandlers handlers;
  handlers.Install(server);
  EXPECT_EQ(server.HandleRequest("connect:"s + kLegacyConfig), "ok");
  ASSERT_EQ(handlers.legacy_connects.size(), 1u);
  const ConnectRequest& got = handlers.legacy_connects[0];
  EXPECT_EQ(got.serverEndpoint, "198.51.100.7:51820");
  EXPECT_EQ(got.assignedIp, "10.8.0.2");
  EXPECT_EQ(got.allowedIps, std::vector<std::string>{"0.0.0.0/0"});
  EXPECT_EQ(got.mtu, 1420);

  handlers.legacy_connect_result = false;
  EXPECT_EQ(server.HandleRequest("connect:"s + kLegacyConfig), "err:connect_failed");
}

}  // namespace
}  // namespace orvo_vpn_win_svc

namespace orvo_vpn_win_svc {
namespace {

// A handler that throws fails its command; the listener lives on to serve the next client.
TEST(IpcServer, ThrowingTextHandlerFailsTheCommandOnly) {
  IpcServer server;
  const auto thrower = [] { throw std::runtime_error("boom"); };
  server.connect_handler = [&](const ConnectRequest&) -> bool { thrower(); return true; };
  server.status_handler = [&]() -> std::string { thrower(); return {}; };
  server.disconnect_handler = thrower;
  server.permission_handler = thrower;
  EXPECT_EQ(server.HandleRequest("connect:"s + kLegacyConfig), "err:connect_failed");
  EXPECT_EQ(server.HandleRequest("status"), "err");
  EXPECT_EQ(server.HandleRequest("disconnect"), "err");
  EXPECT_EQ(server.HandleRequest("permission"), "err");
}

}  // namespace
}  // namespace orvo_vpn_win_svc
