// The runtime's state and record through construction, initialisation, connects and
// disconnects, on fakes.
#include <gtest/gtest.h>

#include "platform/text_encoding.h"
#include "support/poll.h"
#include "unit/runtime/runtime_on_fakes.h"

namespace orvo_vpn_win_svc {
namespace {

class RuntimeState : public orvo_test::RuntimeOnFakes {
 protected:
  static ConnectionMetadata Metadata() {
    ConnectionMetadata metadata;
    metadata.server_id = "srv-17";
    metadata.session_id = "sess-9f";
    metadata.access_code = "AC-1234";
    metadata.server_country = "Netherlands";
    metadata.server_city = "Amsterdam";
    metadata.server_country_code = "NL";
    metadata.server_latency_ms = 23;
    metadata.use_tor = true;
    return metadata;
  }

  static void ExpectEmptyRecord(const ConnectionInfo& info) {
    EXPECT_EQ(info.status, ConnectionStatus::Disconnected);
    for (const std::string* text :
         {&info.server_ip, &info.assigned_ip, &info.server_id, &info.session_id, &info.access_code,
          &info.server_country, &info.server_city, &info.server_country_code, &info.worker_endpoint,
          &info.protocol}) {
      EXPECT_EQ(*text, "");
    }
    EXPECT_EQ(info.server_latency_ms, 0);
    EXPECT_EQ(info.connected_at, 0);
    EXPECT_FALSE(info.use_tor);
    EXPECT_EQ(info.bytes_rx, 0U);
    EXPECT_EQ(info.bytes_tx, 0U);
  }
};

TEST_F(RuntimeState, FreshRuntimeIsDisconnectedWithAnEmptyRecord) {
  EXPECT_EQ(runtime().GetState(), "disconnected");
  ExpectEmptyRecord(runtime().GetConnectionInfo());
  EXPECT_FALSE(runtime().IsKillSwitchEnabled());
}

TEST_F(RuntimeState, InitializeFindsSingboxAndLogsItsVersion) {
  children_.scripts.push_back(
      orvo_test::FakeChildScript::ExitsWith(0, {"sing-box version 1.11.0\n"}));
  ASSERT_TRUE(runtime().Initialize(service_dir_));
  EXPECT_EQ(log_.StandardError(),
            "ORVO_SVC: Initializing singbox from: " + WideToUtf8(service_dir_) +
                "\nORVO_SVC: sing-box.exe initialized, version: sing-box "
                "version 1.11.0\n");
  EXPECT_NE(log_.Debugger().find(L"ORVO_SVC: sing-box.exe initialized, version: sing-box version "
                                 L"1.11.0\n"),
            std::wstring::npos);
}

TEST_F(RuntimeState, InitializeFailsOnlyWhenTheSocketLibraryCannotStart) {
  socket_library_starts_ = false;
  EXPECT_FALSE(runtime().Initialize(service_dir_));
  EXPECT_EQ(log_.Debugger(), L"ORVO_SVC: WSAStartup failed\n");
  EXPECT_EQ(log_.StandardError(), "");
  EXPECT_EQ(children_.Record(), "") << "sing-box was looked for";
}

TEST_F(RuntimeState, StatusFollowsConnectFailureSuccessAndDisconnect) {
  Initialize();
  struct Step {
    const char* what;
    std::function<void()> act;
    std::string state;
    ConnectionStatus status;
  };
  std::string error;
  const auto refused = [&] {
    wintun_installed_ = false;
    runtime().ConnectHysteria2(Request(), error);
    wintun_installed_ = true;
  };
  const Step steps[] = {
      {"refused: no Wintun driver", refused, "disconnected", ConnectionStatus::Disconnected},
      {"failed", [&] { runtime().ConnectHysteria2(Request(), error); }, "invalid",
       ConnectionStatus::Invalid},
      {"refused after a failure", refused, "invalid", ConnectionStatus::Invalid},
      {"up", [&] { ConnectUp(); }, "connected", ConnectionStatus::Connected},
      {"disconnected", [&] { runtime().Disconnect(); }, "disconnected",
       ConnectionStatus::Disconnected},
  };
  // Children that exit at once make the failure.
  for (int i = 0; i < 9; ++i) {
    children_.scripts.push_back(orvo_test::FakeChildScript::ExitsWith(1));
  }
  for (const Step& step : steps) {
    SCOPED_TRACE(step.what);
    step.act();
    EXPECT_EQ(runtime().GetState(), step.state);
    EXPECT_EQ(runtime().GetConnectionInfo().status, step.status);
  }
}

TEST_F(RuntimeState, MetadataStaysAfterAFailedConnectUntilTheDisconnect) {
  Initialize();
  runtime().SetServerMetadata(Metadata());
  wrapper_sleeper_.MakeOwnerPausesInstant();  // the children never get ready
  std::string error;
  ASSERT_FALSE(runtime().ConnectHysteria2(Request(), error));
  ConnectionInfo info = runtime().GetConnectionInfo();
  EXPECT_EQ(info.status, ConnectionStatus::Invalid);
  EXPECT_EQ(info.server_id, "srv-17");
  EXPECT_EQ(info.session_id, "sess-9f");
  EXPECT_EQ(info.access_code, "AC-1234");
  EXPECT_EQ(info.server_country, "Netherlands");
  EXPECT_EQ(info.server_city, "Amsterdam");
  EXPECT_EQ(info.server_country_code, "NL");
  EXPECT_EQ(info.server_latency_ms, 23);
  EXPECT_TRUE(info.use_tor);
  EXPECT_EQ(info.server_ip, "") << "only a successful connect records the server";
  EXPECT_EQ(info.protocol, "");

  runtime().Disconnect();
  ExpectEmptyRecord(runtime().GetConnectionInfo());
}

TEST_F(RuntimeState, SuccessfulConnectKeepsTheMetadataAndOverwritesTheTorFlag) {
  Initialize();
  runtime().SetServerMetadata(Metadata());
  ConnectUp();
  const ConnectionInfo info = runtime().GetConnectionInfo();
  EXPECT_EQ(info.server_id, "srv-17");
  EXPECT_EQ(info.server_latency_ms, 23);
  EXPECT_FALSE(info.use_tor);
}

TEST_F(RuntimeState, DisconnectTwiceStopsTheTunnelOnceAndRepeatsOnlyTheCleanUps) {
  Initialize();
  runtime().SetServerMetadata(Metadata());
  ConnectUp();
  log_.Clear();

  runtime().Disconnect();
  EXPECT_TRUE(LastChildEnded());
  // In this order: unblock, stop the child, done.
  const std::string debugger = WideToUtf8(log_.Debugger());
  const size_t unblocked = debugger.find("ORVO_SVC: IPv6 unblocked on disconnect\n");
  const size_t closed = debugger.find("ORVO_SVC: singbox closed\n");
  const size_t done = debugger.find("ORVO_SVC: Disconnected\n");
  EXPECT_LT(unblocked, closed);
  EXPECT_LT(closed, done);
  EXPECT_NE(done, std::string::npos);
  EXPECT_EQ(runtime_devices_.record, "open\n");
  EXPECT_EQ(memory_->CommittedFilters().size(), 0U) << "IPv6 still blocked";
  EXPECT_EQ(runtime().GetState(), "disconnected");
  ExpectEmptyRecord(runtime().GetConnectionInfo());

  log_.Clear();
  runtime().Disconnect();
  EXPECT_EQ(WideToUtf8(log_.Debugger()).find("singbox closed"), std::string::npos);
  EXPECT_NE(log_.Debugger().find(L"ORVO_SVC: IPv6 unblocked on disconnect\n"), std::wstring::npos);
  EXPECT_NE(log_.Debugger().find(L"ORVO_SVC: Disconnected\n"), std::wstring::npos);
  EXPECT_EQ(runtime_devices_.record, "open\nopen\n") << "the Wintun clean-up runs every time";
  EXPECT_EQ(runtime().GetState(), "disconnected");
}

TEST_F(RuntimeState, DisconnectOfARuntimeThatNeverConnectedEndsDisconnected) {
  runtime().Disconnect();
  EXPECT_EQ(log_.Debugger(), L"ORVO_SVC: IPv6 unblocked on disconnect\nORVO_SVC: Disconnected\n");
  EXPECT_EQ(log_.StandardError(),
            "ORVO_SVC: Cleaning up WinTUN adapters via SetupAPI...\n"
            "ORVO_SVC: No WinTUN adapters found to remove\n");
  EXPECT_EQ(runtime().GetState(), "disconnected");
}

// A tunnel whose child ends by itself is no longer reported up; the IPv6 block stays, and the
// ended child is left to the next start, which releases it.
TEST_F(RuntimeState, TunnelChildEndingByItselfMakesTheConnectionInvalid) {
  Initialize();
  ConnectUp();
  children_.LastChild()->End(7);
  ASSERT_TRUE(orvo_test::PollUntil([&] { return runtime().GetState() == "invalid"; }));
  EXPECT_EQ(runtime().GetConnectionInfo().status, ConnectionStatus::Invalid);
  EXPECT_EQ(
      CountInLog("ORVO_SVC: sing-box exited with code 7 while connected, connection invalid\n"),
      1U);
  EXPECT_EQ(memory_->CommittedFilters().size(), 1U) << "the IPv6 block went";

  log_.Clear();
  runtime().Disconnect();
  const std::string debugger = WideToUtf8(log_.Debugger());
  EXPECT_EQ(debugger.find("singbox closed"), std::string::npos) << debugger;
  EXPECT_EQ(debugger.find("sing-box.exe stopped"), std::string::npos) << debugger;
  EXPECT_EQ(singbox_.ChildId(), 1002U);
  EXPECT_EQ(runtime().GetState(), "disconnected");

  ConnectUp();
  EXPECT_NE(children_.Record().find("close output 1002\n"), std::string::npos);
  EXPECT_EQ(runtime().GetState(), "connected");
}

}  // namespace
}  // namespace orvo_vpn_win_svc
