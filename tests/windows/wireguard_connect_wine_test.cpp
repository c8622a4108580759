// The WireGuard connect on the real Win32 system, as far as Wine lets it go. Without wintun.dll
// on the search path the connect stops at the loader. With the cross-built stand-ins of
// wintun.dll and boringtun.dll it loads both, makes the adapter (in the stand-in's memory), the
// session and the socket, and comes up. Of the IP Helper calls a connect makes, Wine implements
// none (GetBestRoute2 answers ERROR_NOT_SUPPORTED, the others abort the process), so the runtime
// gets the recording fake, whose transcript shows what the connect and disconnect asked for.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "fakes/fake_ip_helper.h"
#include "platform/log_capture.h"
#include "platform/text_encoding.h"
#include "runtime/runtime.h"
#include "support/platform_kind.h"
#include "support/tunnel_libraries.h"

namespace orvo_vpn_win_svc {
namespace {

constexpr char kClientKey[] = "yAnz5TF+lXXJte14tji3zlMNq+hd2rYUIgJBgB3fBmk=";
constexpr char kServerKey[] = "xTIBA5rboUvnH4htodjb6e697QjLERt1NAB4mZqp8Dg=";

ConnectRequest Request() {
  ConnectRequest request;
  request.serverEndpoint = "127.0.0.1:51820";
  request.serverPublicKey = kServerKey;
  request.privateKey = kClientKey;
  request.assignedIp = "10.9.0.2";
  request.allowedIps = {"10.9.0.0/24"};
  request.mtu = 1380;
  return request;
}

bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

class WireGuardConnectUnderWine : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!orvo_test::kWindows) {
      GTEST_SKIP() << "the Win32 side of the tunnel; runs in the Windows tier (Wine)";
    }
  }

  std::string Debugger() const { return WideToUtf8(log_.Debugger()); }

  LogCapture log_;
};

TEST_F(WireGuardConnectUnderWine, WithoutWintunTheLoaderStops) {
  Runtime runtime;
  std::string error;
  EXPECT_FALSE(runtime.Connect(Request(), error));
  EXPECT_EQ(error, "wintun_load_failed");
  EXPECT_EQ(runtime.GetState(), "invalid");
  // ERROR_MOD_NOT_FOUND from LoadLibraryW.
  EXPECT_TRUE(Contains(Debugger(),
                       "ORVO_SVC: LoadLibrary 'wintun.dll' failed, err=126\n"
                       "ORVO_SVC: Wintun load failed\n"))
      << Debugger();
  runtime.Disconnect();
}

TEST_F(WireGuardConnectUnderWine, WithTheStandInsTheTunnelComesUpAndGoesDown) {
  RuntimeFacilities facilities = RuntimeFacilities::System();
  facilities.load_library = [](const std::wstring& file_name) {
    return platform::LoadDynamicLibrary(file_name == L"wintun.dll"
                                            ? orvo_test::WintunStandInPath()
                                            : orvo_test::WireGuardStandInPath());
  };
  const auto ip_helper = std::make_shared<orvo_test::FakeIpHelper>();
  constexpr platform::InterfaceLuid kStandInLuid = 0x35000001000000;
  ip_helper->SetMtu(kStandInLuid, 1500);
  facilities.ip_helper = ip_helper;
  Runtime runtime(facilities);
  ASSERT_TRUE(runtime.Initialize(L"C:\\nowhere"));
  log_.Clear();

  std::string error;
  for (const char* adapter : {"created", "created again after the disconnect deleted it"}) {
    SCOPED_TRACE(adapter);
    ASSERT_TRUE(runtime.Connect(Request(), error)) << error << "\n" << Debugger();
    EXPECT_EQ(runtime.GetState(), "connected");
    EXPECT_TRUE(Contains(Debugger(),
                         "ORVO_SVC: Wintun loaded\n"
                         "ORVO_SVC: Opening/Creating adapter 'ORVO VPN'\n"
                         "ORVO_SVC: OpenAdapter failed, err=2\n"
                         "ORVO_SVC: resolving host '127.0.0.1', port=51820\n"
                         "ORVO_SVC: resolved 127.0.0.1:51820\n"))
        << Debugger();
    // The fake knows no route to the server: no host route.
    EXPECT_EQ(ip_helper->TakeCalls(),
              "create address 10.9.0.2/32 if 0x35000001000000\n"
              "get mtu if 0x35000001000000\n"
              "set mtu 1380 if 0x35000001000000\n"
              "best route 127.0.0.1\n"
              "create route 10.9.0.0/24 via 0.0.0.0 if 0x35000001000000 metric 10 proto 1\n");
    runtime.Disconnect();
    EXPECT_EQ(runtime.GetState(), "disconnected");
    // The timer's route upkeep may have asked first; the disconnect's own calls end the transcript.
    const std::string calls = ip_helper->TakeCalls();
    EXPECT_TRUE(calls.ends_with(
        "delete route 10.9.0.0/24 via 0.0.0.0 if 0x35000001000000 metric 10 proto 1\n"
        "delete address 10.9.0.2/32 if 0x35000001000000\n"))
        << calls;
    log_.Clear();
  }
}

}  // namespace
}  // namespace orvo_vpn_win_svc
