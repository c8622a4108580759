// The WireGuard connect on the real Win32 system, as far as Wine lets it go. Without wintun.dll
// on the search path the connect stops at the loader. With the cross-built stand-ins of
// wintun.dll and boringtun.dll it loads both, makes the adapter (in the stand-in's memory), the
// session and the socket, and comes up; Wine lacks the IP Helper calls that would give the
// adapter its address and MTU and add the routes (and answers GetBestRoute2 with
// ERROR_NOT_SUPPORTED), which the connect takes as missing pieces of configuration.
#include <gtest/gtest.h>

#include <string>

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

TEST_F(WireGuardConnectUnderWine, WithTheStandInsTheTunnelComesUpWithoutAddressOrRoutes) {
  RuntimeFacilities facilities = RuntimeFacilities::System();
  facilities.load_library = [](const std::wstring& file_name) {
    return platform::LoadDynamicLibrary(file_name == L"wintun.dll"
                                            ? orvo_test::WintunStandInPath()
                                            : orvo_test::WireGuardStandInPath());
  };
  Runtime runtime(facilities);
  ASSERT_TRUE(runtime.Initialize(L"C:\\nowhere"));
  log_.Clear();

  std::string error;
  ASSERT_TRUE(runtime.Connect(Request(), error)) << error << "\n" << Debugger();
  EXPECT_EQ(runtime.GetState(), "connected");
  const std::string lines = Debugger();
  EXPECT_TRUE(Contains(lines,
                       "ORVO_SVC: wintun.dll loaded\nORVO_SVC: Wintun loaded\n"
                       "ORVO_SVC: Opening/Creating adapter 'ORVO VPN'\n"
                       "ORVO_SVC: OpenAdapter failed, err=2\n"
                       "ORVO_SVC: resolving host '127.0.0.1', port=51820\n"
                       "ORVO_SVC: resolved 127.0.0.1:51820\n"))
      << lines;
  // GetBestRoute2 is not supported: no host route, and no line about one.
  EXPECT_FALSE(Contains(lines, "host route")) << lines;

  runtime.Disconnect();
  EXPECT_EQ(runtime.GetState(), "disconnected");
  // The adapter went with the disconnect: the next connect creates it again.
  log_.Clear();
  ASSERT_TRUE(runtime.Connect(Request(), error)) << error;
  EXPECT_TRUE(Contains(Debugger(), "ORVO_SVC: OpenAdapter failed, err=2\n")) << Debugger();
  runtime.Disconnect();
}

}  // namespace
}  // namespace orvo_vpn_win_svc
