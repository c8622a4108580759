// The WireGuard connect on fakes, for the refusals no real library or system gives on demand
// (the real libraries carry the tunnel in the integration tests): what the tunnel libraries and
// the IP Helper were asked to do, what the connect logged, and what the disconnect released.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "platform/text_encoding.h"
#include "support/poll.h"
#include "unit/runtime/runtime_on_fakes.h"

namespace orvo_vpn_win_svc {
namespace {

using Step = platform::UdpSocketOpening::Step;
using Fakes = orvo_test::RuntimeOnFakes;
constexpr char kGolden[] = "runtime/wireguard_connect.txt";

struct Case {
  const char* name;
  std::function<void(Fakes&, ConnectRequest&)> arrange;
};

ConnectRequest WireGuardRequest() {
  ConnectRequest request;
  request.serverEndpoint = "vpn.example.net:51820";
  request.serverPublicKey = "xTIBA5rboUvnH4htodjb6e697QjLERt1NAB4mZqp8Dg=";
  request.privateKey = "yAnz5TF+lXXJte14tji3zlMNq+hd2rYUIgJBgB3fBmk=";
  request.assignedIp = "10.7.0.2";
  request.allowedIps = {"0.0.0.0/1",   "10.1.2.3/8",    "10.9.0.0",
                        "10.9.0.0/33", "10.999.0.0/16", "128.0.0.0/1"};
  request.mtu = 1380;
  return request;
}

class WireGuardConnect : public Fakes, public ::testing::WithParamInterface<Case> {
 protected:
  WireGuardConnect() {
    resolver_->Answer("vpn.example.net", {"203.0.113.7", "203.0.113.8"});
    ip_helper_->AddRoute(orvo_test::FakeIpHelper::ParseRoute(
        "0.0.0.0/0 via 192.0.2.1 if 0x35000000000002 metric 25 proto 3"));
    ip_helper_->AddInterface({orvo_test::FakeTunnelLibraries::kAdapterLuid, 9, L"ORVO VPN", L"", 1},
                             1500);
  }

  // A connect: its result, what it asked for and what it logged.
  std::string Connect(const ConnectRequest& request) {
    std::string error;
    const bool up = runtime().Connect(request, error);
    if (up) {
      EXPECT_TRUE(orvo_test::PollUntil([&] { return libraries_.SentToServer() > 0; }))
          << "no initial handshake";
    }
    const std::string debugger = WideToUtf8(log_.Debugger());
    log_.Clear();
    return std::string(up ? "connected [" : "failed [") + error + "] " + runtime().GetState() +
           ", socket library stops " + std::to_string(socket_library_stops_) + "\n" +
           libraries_.TakeCalls() + Changes() +
           orvo_test::KeptLines(debugger, [](const std::string& line) {
             return line != "ORVO_SVC: forced handshake sent";  // a WireGuard timer let loose
           });
  }

  // A disconnect: what it released.
  std::string Release() {
    packet_sleeper_.Open();
    runtime().Disconnect();
    log_.Clear();
    return "-- release\n" + libraries_.TakeCalls() + Changes() + runtime().GetState() + "\n";
  }

  std::string Changes() {
    return orvo_test::KeptLines(ip_helper_->TakeCalls(), orvo_test::FakeIpHelper::IsChange);
  }
};

TEST_P(WireGuardConnect, EachStepAndWhatTheDisconnectReleases) {
  ConnectRequest request = WireGuardRequest();
  GetParam().arrange(*this, request);
  const std::string text = Connect(request);
  orvo_test::ExpectMatches(text + Release(), orvo_test::GoldenText(kGolden, GetParam().name));
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
  orvo_test::ExpectMatches(text + Release(), orvo_test::GoldenText(kGolden, "Reconnect"));
}

// A connect that fails after releasing a tunnel that was up withdraws that tunnel's permits.
TEST_F(WireGuardConnect, AFailedConnectWithdrawsThePermitsOfTheTunnelItReleased) {
  ASSERT_TRUE(runtime().EnableKillSwitch());
  Connect(WireGuardRequest());
  EXPECT_NE(engine_->Filters().find("remote_address=203.0.113.7/32"), std::string::npos);
  ConnectRequest nowhere = WireGuardRequest();
  nowhere.serverEndpoint = "nowhere.example.net:51820";
  packet_sleeper_.Open();  // the released tunnel's timer must leave its pause to be joined
  Connect(nowhere);
  const std::string filters = engine_->Filters();
  EXPECT_EQ(filters.find("203.0.113.7"), std::string::npos) << filters;
  EXPECT_EQ(filters.find("local_interface"), std::string::npos) << filters;
}

}  // namespace
}  // namespace orvo_vpn_win_svc
