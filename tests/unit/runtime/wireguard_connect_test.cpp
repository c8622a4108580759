// The WireGuard connect on fakes: the libraries, the adapter, the address, the MTU, the routes,
// the socket and the tunnel object, what each failure leaves behind for the disconnect to
// release, and the release of an earlier tunnel by a new connect.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "fakes/fake_tunnel_libraries.h"
#include "killswitch/kill_switch_rules.h"
#include "platform/text_encoding.h"
#include "platform/wfp_filter_text.h"
#include "support/gated_sleeper.h"
#include "support/poll.h"
#include "unit/runtime/runtime_on_fakes.h"

namespace orvo_vpn_win_svc {
namespace {

using orvo_test::FakeIpHelper;
using orvo_test::FakeTunnelLibraries;
using Step = platform::UdpSocketOpening::Step;

constexpr uint32_t kGateway = 0xC0000201;  // 192.0.2.1
constexpr char kPrivateKey[] = "yAnz5TF+lXXJte14tji3zlMNq+hd2rYUIgJBgB3fBmk=";
constexpr char kPublicKey[] = "xTIBA5rboUvnH4htodjb6e697QjLERt1NAB4mZqp8Dg=";

class WireGuardConnect : public orvo_test::RuntimeOnFakes {
 protected:
  WireGuardConnect() {
    RuntimeFacilities facilities = Facilities(wfp_);
    facilities.load_library = libraries_.Loader();
    facilities.last_error = [this] { return libraries_.LastError(); };
    facilities.stop_socket_library = [this] { ++socket_library_stops_; };
    facilities.open_udp_socket = [this](const platform::IpAddress& server, uint16_t port) {
      return libraries_.OpenSocket(server, port);
    };
    facilities.packet_sleeper = &packet_sleeper_;
    facilities.start_thread = [this](std::function<void()> body, std::thread& thread) {
      if (threads_started_ == refuse_thread_) {
        return false;
      }
      ++threads_started_;
      return platform::StartSystemThread(std::move(body), thread);
    };
    runtime_ = std::make_unique<Runtime>(facilities);

    resolver_->Answer("vpn.example.net", {"203.0.113.7", "203.0.113.8"});
    ip_helper_->AddRoute(FakeIpHelper::Ipv4Route(0, 0, kGateway, kPhysicalLuid, 25, 3));
    ip_helper_->SetMtu(FakeTunnelLibraries::kAdapterLuid, 1500);
    log_.Clear();
  }

  ~WireGuardConnect() override {
    // The timer thread of a connection waits in its gated pause; let it leave.
    packet_sleeper_.Open();
    runtime_.reset();
  }

  static ConnectRequest Request() {
    ConnectRequest request;
    request.serverEndpoint = "vpn.example.net:51820";
    request.serverPublicKey = kPublicKey;
    request.privateKey = kPrivateKey;
    request.assignedIp = "10.7.0.2";
    request.allowedIps = {"0.0.0.0/1",   "10.1.2.3/8",    "10.9.0.0",
                          "10.9.0.0/33", "10.999.0.0/16", "128.0.0.0/1"};
    request.mtu = 1380;
    return request;
  }

  // The debugger lines since the last call, narrowed.
  std::string TakeDebugger() {
    const std::string lines = WideToUtf8(log_.Debugger());
    log_.Clear();
    return lines;
  }

  // The IP Helper calls that change the system, since the last call. The timer's upkeep only
  // reads while the server's host route is in place, so these are the connect's own.
  std::string TakeChanges() {
    std::istringstream calls(ip_helper_->TakeCalls());
    std::string changes;
    for (std::string line; std::getline(calls, line);) {
      if (line.rfind("create ", 0) == 0 || line.rfind("delete ", 0) == 0 ||
          line.rfind("set ", 0) == 0) {
        changes += line + "\n";
      }
    }
    return changes;
  }

  // Disconnects with the timer's pause opened, and gives what the tunnel libraries and the IP
  // Helper were asked to release.
  std::string Release() {
    packet_sleeper_.Open();
    libraries_.TakeCalls();
    ip_helper_->TakeCalls();
    runtime().Disconnect();
    return libraries_.TakeCalls() + TakeChanges();
  }

  FakeTunnelLibraries libraries_;
  orvo_test::GatedSleeper packet_sleeper_{std::chrono::milliseconds(1000)};
  int socket_library_stops_ = 0;
  int threads_started_ = 0;
  int refuse_thread_ = -1;  // the index of the thread that cannot be created
};

TEST_F(WireGuardConnect, BringsTheTunnelUpStepByStep) {
  std::string error = "stale";
  ASSERT_TRUE(runtime().Connect(Request(), error));
  EXPECT_EQ(error, "");
  EXPECT_EQ(runtime().GetState(), "connected");
  // The record stays as it was: the connection report only follows the Hysteria2 tunnel.
  EXPECT_EQ(runtime().GetConnectionInfo().status, ConnectionStatus::Disconnected);
  EXPECT_EQ(socket_library_stops_, 0);

  EXPECT_EQ(libraries_.TakeCalls(),
            "load wintun.dll\n"
            "load boringtun.dll\n"
            "OpenAdapter ORVO VPN\n"
            "CreateAdapter ORVO VPN WireGuard no-guid\n"
            "StartSession 4194304\n"
            "GetAdapterLUID\n"
            "socket 203.0.113.7:51820\n"
            "new_tunnel " +
                std::string(kPrivateKey) + " " + kPublicKey + " 25 0\n");
  EXPECT_EQ(TakeChanges(),
            "create address 10.7.0.2/32 if 0x35000000000009\n"
            "set mtu 1380 if 0x35000000000009\n"
            "create route 203.0.113.7/32 via 192.0.2.1 if 0x35000000000002 metric 25 proto 1\n"
            "create route 0.0.0.0/1 via 0.0.0.0 if 0x35000000000009 metric 10 proto 1\n"
            "create route 10.1.2.3/8 via 0.0.0.0 if 0x35000000000009 metric 10 proto 1\n"
            "create route 128.0.0.0/1 via 0.0.0.0 if 0x35000000000009 metric 10 proto 1\n");
  EXPECT_EQ(TakeDebugger(),
            "ORVO_SVC: Runtime::Connect begin\n"
            "ORVO_SVC: wintun.dll loaded\n"
            "ORVO_SVC: Wintun loaded\n"
            "ORVO_SVC: Opening/Creating adapter 'ORVO VPN'\n"
            "ORVO_SVC: OpenAdapter failed, err=1168\n"
            "ORVO_SVC: resolving host 'vpn.example.net', port=51820\n"
            "ORVO_SVC: resolved 203.0.113.7:51820\n"
            "ORVO_SVC: added host route for server /32\n");
  // The initial handshake goes out on the socket.
  ASSERT_TRUE(orvo_test::PollUntil([&] { return libraries_.Socket()->Sent().size() == 1; }));
  EXPECT_EQ(libraries_.Socket()->Sent()[0], "handshake");

  // The disconnect releases everything in the order the packet threads need.
  EXPECT_EQ(Release(),
            "tunnel_free\n"
            "EndSession\n"
            "DeleteAdapter\n"
            "delete route 203.0.113.7/32 via 192.0.2.1 if 0x35000000000002 metric 25 proto 1\n"
            "delete route 0.0.0.0/1 via 0.0.0.0 if 0x35000000000009 metric 10 proto 1\n"
            "delete route 10.1.2.3/8 via 0.0.0.0 if 0x35000000000009 metric 10 proto 1\n"
            "delete route 128.0.0.0/1 via 0.0.0.0 if 0x35000000000009 metric 10 proto 1\n"
            "delete address 10.7.0.2/32 if 0x35000000000009\n");
  EXPECT_FALSE(libraries_.AdapterOpen());
  EXPECT_EQ(runtime().GetState(), "disconnected");
}

// What a test may set up before a connect.
struct Knobs {
  FakeTunnelLibraries& libraries;
  ConnectRequest& request;
  bool& socket_library_starts;
  int& refuse_thread;
};

// What a failing connect reports, and what it leaves for the disconnect to release.
struct FailureCase {
  const char* name;
  std::function<void(Knobs&)> arrange;
  const char* code;
  std::string lines;  // the debugger lines after "Runtime::Connect begin"
  int socket_library_stops;
  std::string released;
};

const std::string kAdapterLines =
    "ORVO_SVC: wintun.dll loaded\nORVO_SVC: Wintun loaded\n"
    "ORVO_SVC: Opening/Creating adapter 'ORVO VPN'\nORVO_SVC: OpenAdapter failed, err=1168\n";
const std::string kResolvingLines =
    kAdapterLines + "ORVO_SVC: resolving host 'vpn.example.net', port=51820\n";
const std::string kResolvedLines = kResolvingLines +
                                   "ORVO_SVC: resolved 203.0.113.7:51820\n"
                                   "ORVO_SVC: added host route for server /32\n";
const std::string kAdapterReleased = "EndSession\nDeleteAdapter\n";
const std::string kAddressReleased =
    kAdapterReleased + "delete address 10.7.0.2/32 if 0x35000000000009\n";
const std::string kHostRouteReleased =
    kAdapterReleased +
    "delete route 203.0.113.7/32 via 192.0.2.1 if 0x35000000000002 metric 25 proto 1\n"
    "delete address 10.7.0.2/32 if 0x35000000000009\n";

const FailureCase kFailures[] = {
    {"WintunMissing", [](Knobs& k) { k.libraries.unloadable.insert(L"wintun.dll"); },
     "wintun_load_failed",
     "ORVO_SVC: LoadLibrary 'wintun.dll' failed, err=126\nORVO_SVC: Wintun load failed\n", 0, ""},
    {"WintunExportsMissing",
     [](Knobs& k) {
       k.libraries.missing = {"WintunOpenAdapter", "WintunGetAdapterLUID"};
     },
     "wintun_load_failed",
     "ORVO_SVC: wintun.dll loaded\nORVO_SVC: missing WintunOpenAdapter\n"
     "ORVO_SVC: Wintun exports missing\nORVO_SVC: missing WintunOpenAdapter\n"
     "ORVO_SVC: missing WintunGetAdapterLUID\nORVO_SVC: Wintun load failed\n",
     0, ""},
    {"BoringtunMissing", [](Knobs& k) { k.libraries.unloadable.insert(L"boringtun.dll"); },
     "boringtun_load_failed", "ORVO_SVC: wintun.dll loaded\nORVO_SVC: Wintun loaded\n", 0, ""},
    {"BoringtunExportMissing", [](Knobs& k) { k.libraries.missing = {"tunnel_free"}; },
     "boringtun_load_failed", "ORVO_SVC: wintun.dll loaded\nORVO_SVC: Wintun loaded\n", 0, ""},
    {"SocketLibrary", [](Knobs& k) { k.socket_library_starts = false; }, "wsa_start_failed",
     "ORVO_SVC: wintun.dll loaded\nORVO_SVC: Wintun loaded\n", 0, ""},
    {"Adapter", [](Knobs& k) { k.libraries.create_fails = true; }, "wintun_adapter_failed",
     kAdapterLines +
         "ORVO_SVC: CreateAdapter failed, err=5\nORVO_SVC: Create/Open adapter failed\n",
     1, ""},
    {"Session", [](Knobs& k) { k.libraries.session_fails = true; }, "wintun_session_failed",
     kAdapterLines + "ORVO_SVC: StartSession failed, err=87\n", 1, "DeleteAdapter\n"},
    {"Luid", [](Knobs& k) { k.libraries.missing = {"WintunGetAdapterLUID"}; }, "get_luid_failed",
     kAdapterLines + "ORVO_SVC: GetAdapterLUID not available\n", 1, kAdapterReleased},
    {"AssignedIpWithPrefix", [](Knobs& k) { k.request.assignedIp = "10.7.0.2/32"; },
     "bad_assigned_ip", kAdapterLines, 1, kAdapterReleased},
    {"EndpointWithoutPort", [](Knobs& k) { k.request.serverEndpoint = "vpn.example.net"; },
     "bad_server_endpoint", kAdapterLines + "ORVO_SVC: bad_server_endpoint\n", 1, kAddressReleased},
    {"EndpointPortZero", [](Knobs& k) { k.request.serverEndpoint = "vpn.example.net:0"; },
     "bad_server_endpoint", kAdapterLines + "ORVO_SVC: bad_server_endpoint\n", 1, kAddressReleased},
    {"UnknownHost", [](Knobs& k) { k.request.serverEndpoint = "nowhere.example.net:51820"; },
     "resolve_failed",
     kAdapterLines + "ORVO_SVC: resolving host 'nowhere.example.net', port=51820\n"
                     "ORVO_SVC: resolve_failed\n",
     1, kAddressReleased},
    {"SocketCreation", [](Knobs& k) { k.libraries.socket_fails = Step::kCreate; },
     "udp_socket_failed", kResolvedLines + "ORVO_SVC: udp_socket_failed, err=10013\n", 1,
     kHostRouteReleased},
    {"SocketConnection", [](Knobs& k) { k.libraries.socket_fails = Step::kConnect; },
     "udp_connect_failed", kResolvedLines + "ORVO_SVC: udp_connect_failed, err=10013\n", 1,
     kHostRouteReleased},
    {"TunnelObject",
     [](Knobs& k) {
       k.libraries.tunnel_fails = true;
       k.request.allowedIps = {"10.1.0.0/16"};
     },
     "wg_tunnel_failed", kResolvedLines, 1,
     kAdapterReleased +
         "delete route 203.0.113.7/32 via 192.0.2.1 if 0x35000000000002 metric 25 proto 1\n"
         "delete route 10.1.0.0/16 via 0.0.0.0 if 0x35000000000009 metric 10 proto 1\n"
         "delete address 10.7.0.2/32 if 0x35000000000009\n"},
    {"PacketThread",
     [](Knobs& k) {
       k.refuse_thread = 1;  // the receive thread; the initial handshake has started
       k.request.allowedIps = {};
     },
     "thread_start_failed", kResolvedLines + "ORVO_SVC: packet thread could not be started\n", 1,
     "tunnel_free\n" + kHostRouteReleased},
};

class WireGuardConnectFailure : public WireGuardConnect,
                                public ::testing::WithParamInterface<FailureCase> {};

TEST_P(WireGuardConnectFailure, ReportsItsCodeAndLeavesItsPiecesForTheDisconnect) {
  const FailureCase& failure = GetParam();
  ConnectRequest request = Request();
  Knobs knobs{libraries_, request, socket_library_starts_, refuse_thread_};
  failure.arrange(knobs);

  std::string error;
  EXPECT_FALSE(runtime().Connect(request, error));
  EXPECT_EQ(error, failure.code);
  EXPECT_EQ(runtime().GetState(), "invalid");
  EXPECT_EQ(TakeDebugger(), "ORVO_SVC: Runtime::Connect begin\n" + failure.lines);
  EXPECT_EQ(socket_library_stops_, failure.socket_library_stops);
  EXPECT_EQ(Release(), failure.released);
  EXPECT_EQ(runtime().GetState(), "disconnected");
}

INSTANTIATE_TEST_SUITE_P(EveryStep, WireGuardConnectFailure, ::testing::ValuesIn(kFailures),
                         [](const auto& test) { return std::string(test.param.name); });

TEST_F(WireGuardConnect, ALibraryThatFailedItsCheckIsLoadedAgainByTheNextConnect) {
  libraries_.missing = {"WintunSendPacket"};
  std::string error;
  EXPECT_FALSE(runtime().Connect(Request(), error));
  libraries_.missing.clear();
  libraries_.TakeCalls();
  ASSERT_TRUE(runtime().Connect(Request(), error)) << error;
  EXPECT_EQ(libraries_.TakeCalls().rfind("load wintun.dll\nload boringtun.dll\n", 0), 0U);
}

// The kill switch permits the adapter while the tunnel is up, whichever came first, and no
// longer once a disconnect or a failed new connect has released it.
TEST_F(WireGuardConnect, KillSwitchPermitsTheAdapterWhileTheTunnelIsUp) {
  const auto planned = [this](std::optional<uint64_t> tunnel) {
    KillSwitchConfig config;
    config.allow_lan = true;
    config.tunnel_luid = tunnel;
    config.service_path = executable_path_;
    return DescribeKillSwitchPlan(PlanKillSwitch(config, {}, WfpManager::kSublayerKey));
  };
  const auto installed = [this] {
    std::string text;
    for (const orvo_test::WfpFilterEntry& entry : memory_->CommittedFilters()) {
      text += platform::DescribeWfpFilter(entry.filter) + "\n";
    }
    return text;
  };
  std::string error;
  for (const bool kill_switch_first : {true, false}) {
    SCOPED_TRACE(kill_switch_first ? "kill switch first" : "tunnel first");
    if (kill_switch_first) {
      ASSERT_TRUE(runtime().EnableKillSwitch());
    }
    ASSERT_TRUE(runtime().Connect(Request(), error)) << error;
    if (!kill_switch_first) {
      ASSERT_TRUE(runtime().EnableKillSwitch());
    }
    EXPECT_EQ(installed(), planned(FakeTunnelLibraries::kAdapterLuid));
    Release();
    EXPECT_EQ(installed(), planned(std::nullopt));
    ASSERT_TRUE(runtime().DisableKillSwitch());
  }
  ASSERT_TRUE(runtime().Connect(Request(), error)) << error;
  ASSERT_TRUE(runtime().EnableKillSwitch());
  packet_sleeper_.Open();
  libraries_.session_fails = true;
  EXPECT_FALSE(runtime().Connect(Request(), error));
  EXPECT_EQ(installed(), planned(std::nullopt));
}

TEST_F(WireGuardConnect, OptionalEntryPointsChangeOnlyTheirOwnSteps) {
  // Without DeleteAdapter the loader reports it and goes on; the disconnect closes instead.
  libraries_.missing = {"WintunDeleteAdapter"};
  libraries_.adapter_exists = true;
  std::string error;
  ASSERT_TRUE(runtime().Connect(Request(), error)) << error;
  const std::string lines = TakeDebugger();
  EXPECT_NE(lines.find("ORVO_SVC: wintun.dll loaded\nORVO_SVC: missing WintunDeleteAdapter\n"
                       "ORVO_SVC: Wintun loaded\n"),
            std::string::npos)
      << lines;
  // An adapter that exists is opened, not created.
  EXPECT_EQ(lines.find("OpenAdapter failed"), std::string::npos);
  EXPECT_EQ(libraries_.TakeCalls().find("CreateAdapter"), std::string::npos);
  EXPECT_EQ(Release().rfind("tunnel_free\nEndSession\nCloseAdapter\n", 0), 0U);
}

TEST_F(WireGuardConnect, ASecondConnectReleasesTheFirstTunnelAndKeepsTheLibraries) {
  std::string error;
  ASSERT_TRUE(runtime().Connect(Request(), error)) << error;
  ASSERT_TRUE(orvo_test::PollUntil([&] { return libraries_.Socket()->Sent().size() == 1; }));
  libraries_.TakeCalls();
  ip_helper_->TakeCalls();
  TakeDebugger();
  // The first connection's timer must leave its pause for its threads to be joined.
  packet_sleeper_.Open();

  ASSERT_TRUE(runtime().Connect(Request(), error)) << error;
  EXPECT_EQ(libraries_.TakeCalls(),
            "tunnel_free\nEndSession\nDeleteAdapter\n"
            "OpenAdapter ORVO VPN\nCreateAdapter ORVO VPN WireGuard no-guid\n"
            "StartSession 4194304\nGetAdapterLUID\nsocket 203.0.113.7:51820\n"
            "new_tunnel " +
                std::string(kPrivateKey) + " " + kPublicKey + " 25 0\n");
  const std::string changes = TakeChanges();
  // The old routes and address go before the new ones are made: none is left twice.
  EXPECT_EQ(changes.find("delete address 10.7.0.2/32"), changes.find("delete address"));
  EXPECT_LT(changes.find("delete address"), changes.find("create address"));
  // The first connection's timer, let loose, may report forced handshakes until it is joined.
  std::string lines = TakeDebugger();
  const std::string forced = "ORVO_SVC: forced handshake sent\n";
  for (size_t at = lines.find(forced); at != std::string::npos; at = lines.find(forced)) {
    lines.erase(at, forced.size());
  }
  EXPECT_EQ(lines.rfind("ORVO_SVC: Runtime::Connect begin\nORVO_SVC: Wintun loaded\n"
                        "ORVO_SVC: Opening/Creating adapter 'ORVO VPN'\n",
                        0),
            0U)
      << lines;
  EXPECT_EQ(runtime().GetState(), "connected");

  // Not even the runtime's end unloads them: they stay for the life of the process.
  packet_sleeper_.Open();
  runtime_.reset();
  EXPECT_EQ(libraries_.TakeCalls().find("unload"), std::string::npos);
}

}  // namespace
}  // namespace orvo_vpn_win_svc
