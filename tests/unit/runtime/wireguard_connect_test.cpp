// The WireGuard connect on fakes, told as transcripts: what the tunnel libraries and the IP
// Helper were asked to do, what the connect logged, and what the disconnect released.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "support/poll.h"
#include "unit/runtime/runtime_on_fakes.h"

namespace orvo_vpn_win_svc {
namespace {

using orvo_test::FakeIpHelper;
using orvo_test::FakeTunnelLibraries;
using Step = platform::UdpSocketOpening::Step;

using Fakes = orvo_test::RuntimeOnFakes;

struct Case {
  const char* name;
  std::function<void(Fakes&, ConnectRequest&)> arrange;
  friend void PrintTo(const Case& c, std::ostream* out) { *out << c.name; }
};

class WireGuardConnect : public orvo_test::RuntimeOnFakes,
                         public ::testing::WithParamInterface<Case> {
 protected:
  WireGuardConnect() {
    resolver_->Answer("vpn.example.net", {"203.0.113.7", "203.0.113.8"});
    ip_helper_->AddRoute(
        FakeIpHelper::ParseRoute("0.0.0.0/0 via 192.0.2.1 if 0x35000000000002 metric 25 proto 3"));
    ip_helper_->SetMtu(FakeTunnelLibraries::kAdapterLuid, 1500);
  }

  // A connect: its result, what it asked for and what it logged.
  std::string Connect(const ConnectRequest& request) {
    std::string error;
    const bool up = runtime().Connect(request, error);
    if (up) {
      EXPECT_TRUE(orvo_test::PollUntil([&] { return libraries_.SentToServer() > 0; }))
          << "no initial handshake";
    }
    return std::string(up ? "connected" : "failed") + " [" + error + "] " + runtime().GetState() +
           "\n" + libraries_.TakeCalls() + TakeChanges() + TakeDebugger() +
           "socket library stops " + std::to_string(socket_library_stops_) + "\n";
  }

  // A disconnect: what it released.
  std::string Release() {
    packet_sleeper_.Open();
    runtime().Disconnect();
    log_.Clear();
    return "-- release\n" + libraries_.TakeCalls() + TakeChanges() + runtime().GetState() + "\n";
  }

  // Whether the kill switch in force permits the adapter and the server.
  bool PermitsTheTunnel() const {
    const std::string filters = engine_->Filters();
    const bool adapter = filters.find("local_interface=0x0035000000000009") != std::string::npos;
    const bool server = filters.find("remote_address=203.0.113.7/32") != std::string::npos;
    EXPECT_EQ(adapter, server) << filters;
    return adapter && server;
  }
};

TEST_P(WireGuardConnect, EachStepAndWhatTheDisconnectReleases) {
  ConnectRequest request = WireGuardRequest();
  GetParam().arrange(*this, request);
  std::string text = Connect(request);
  text += Release();
  EXPECT_EQ(text, orvo_test::GoldenText("runtime/wireguard_connect.txt", GetParam().name));
}

const Case kCases[] = {
    {"Up", [](Fakes&, ConnectRequest&) {}},
    {"ExistingAdapterWithoutDeleteAdapter",
     [](Fakes& f, auto&) {
       f.libraries_.missing = {"WintunDeleteAdapter"};
       f.libraries_.adapter_exists = true;
     }},
    {"WintunMissing", [](Fakes& f, auto&) { f.libraries_.unloadable.insert(L"wintun.dll"); }},
    {"WintunExportsMissing",
     [](Fakes& f, auto&) {
       f.libraries_.missing = {"WintunOpenAdapter", "WintunGetAdapterLUID"};
     }},
    {"BoringtunMissing", [](Fakes& f, auto&) { f.libraries_.unloadable.insert(L"boringtun.dll"); }},
    {"BoringtunExportMissing", [](Fakes& f, auto&) { f.libraries_.missing = {"tunnel_free"}; }},
    {"SocketLibrary", [](Fakes& f, auto&) { f.socket_library_starts_ = false; }},
    {"AdapterCreation", [](Fakes& f, auto&) { f.libraries_.create_fails = true; }},
    {"Session", [](Fakes& f, auto&) { f.libraries_.session_fails = true; }},
    {"Luid", [](Fakes& f, auto&) { f.libraries_.missing = {"WintunGetAdapterLUID"}; }},
    {"AssignedIpWithPrefix", [](Fakes&, ConnectRequest& r) { r.assignedIp = "10.7.0.2/32"; }},
    {"EndpointWithoutPort",
     [](Fakes&, ConnectRequest& r) { r.serverEndpoint = "vpn.example.net"; }},
    {"UnknownHost",
     [](Fakes&, ConnectRequest& r) { r.serverEndpoint = "nowhere.example.net:51820"; }},
    {"SocketCreation", [](Fakes& f, auto&) { f.libraries_.socket_fails = Step::kCreate; }},
    {"SocketConnection", [](Fakes& f, auto&) { f.libraries_.socket_fails = Step::kConnect; }},
    {"TunnelObject",
     [](Fakes& f, ConnectRequest& r) {
       f.libraries_.tunnel_fails = true;
       r.allowedIps = {"10.1.0.0/16"};
     }},
    {"PacketThread",
     [](Fakes& f, ConnectRequest& r) {
       f.refuse_thread_ = 1;  // the receive thread; the initial handshake has started
       r.allowedIps = {};
     }},
};

INSTANTIATE_TEST_SUITE_P(Runtime, WireGuardConnect, ::testing::ValuesIn(kCases),
                         [](const auto& test) { return std::string(test.param.name); });

// A second connect releases the first tunnel (its routes and address before the new ones are
// made) and keeps the libraries; one that failed its check is loaded again by the next connect.
TEST_F(WireGuardConnect, LaterConnectsReleaseTheTunnelBeforeAndReloadOnlyWhatFailed) {
  libraries_.missing = {"WintunSendPacket"};
  std::string text = Connect(WireGuardRequest());
  libraries_.missing.clear();
  text += Connect(WireGuardRequest());
  packet_sleeper_.Open();  // the first connection's timer must leave its pause to be joined
  log_.Clear();
  text += Connect(WireGuardRequest());
  text += Release();
  EXPECT_EQ(text, orvo_test::GoldenText("runtime/wireguard_reconnect.txt"));
}

// The kill switch permits the adapter and the server while the tunnel is up, whichever came
// first, and no longer once a disconnect or a failed new connect has released it.
TEST_F(WireGuardConnect, KillSwitchPermitsTheTunnelWhileItIsUp) {
  std::string error;
  for (const bool kill_switch_first : {true, false}) {
    SCOPED_TRACE(kill_switch_first ? "kill switch first" : "tunnel first");
    if (kill_switch_first) {
      ASSERT_TRUE(runtime().EnableKillSwitch());
    }
    ASSERT_TRUE(runtime().Connect(WireGuardRequest(), error)) << error;
    if (!kill_switch_first) {
      ASSERT_TRUE(runtime().EnableKillSwitch());
    }
    EXPECT_TRUE(PermitsTheTunnel());
    EXPECT_NE(log_.StandardError().find("vpn_server=203.0.113.7, has_tun=1"), std::string::npos);
    Release();
    EXPECT_FALSE(PermitsTheTunnel());
    ASSERT_TRUE(runtime().DisableKillSwitch());
  }
  ASSERT_TRUE(runtime().Connect(WireGuardRequest(), error)) << error;
  ASSERT_TRUE(runtime().EnableKillSwitch());
  packet_sleeper_.Open();
  libraries_.session_fails = true;
  EXPECT_FALSE(runtime().Connect(WireGuardRequest(), error));
  EXPECT_FALSE(PermitsTheTunnel());
}

}  // namespace
}  // namespace orvo_vpn_win_svc
