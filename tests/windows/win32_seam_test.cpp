// The Win32 side of the system seams as Wine runs them, with the stand-ins for the system
// libraries Wine lacks (tools/stand-ins/): SetupAPI's device texts and the stale adapter clean-up's
// DIF_REMOVE, and the WireGuard connect through the loader with the cross-built wintun.dll and
// boringtun.dll stand-ins, on the product's own IP Helper against the iphlpapi stand-in. (The
// filtering engine runs on the fwpuclnt stand-in, in the kill switch's cases and in
// service_wine_test.cpp.)
#ifdef _WIN32
#include <gtest/gtest.h>

#include <windows.h>

#include <initguid.h>

#include <devguid.h>
#include <setupapi.h>

#include <memory>
#include <optional>
#include <regex>
#include <string>

#include "fakes/fake_ip_helper.h"
#include "fwpuclnt/stand_in_controls.h"
#include "ipc/legacy_config_parser.h"
#include "platform/child_process.h"
#include "platform/ip_helper.h"
#include "platform/log_capture.h"
#include "platform/network_devices.h"
#include "platform/text_encoding.h"
#include "runtime/runtime.h"
#include "singbox/kill_lingering_processes.h"
#include "support/case_file.h"
#include "support/poll.h"
#include "support/stand_in.h"
#include "support/tunnel_libraries.h"

namespace orvo_vpn_win_svc {
namespace {

using orvo_test::FakeIpHelper;

// The calls a stand-in recorded since the last time; a failure when the library loaded is Wine's
// own, as it is when the override did not take.
std::string StandInCalls(const wchar_t* library) {
  const auto read = STAND_IN_CONTROL(library, StandInText);
  EXPECT_NE(read, nullptr) << WideToUtf8(library) << " is not the stand-in";
  return read ? read() : "";
}

// How many network devices are present, as the product's SetupAPI device set counts them.
size_t PresentDevices() {
  const platform::DeviceSetOpening opening = platform::SystemNetworkDevices().OpenPresent();
  return opening.set ? opening.set->Devices().size() : 0;
}

// A network-class device registered for the test's time, its description and friendly name set
// apart so that reading one for the other shows. The clean-up before a tunnel start ends a stray
// sing-box.exe and removes the device through DIF_REMOVE; the setupapi stand-in has the
// parameters checked and Wine removes the device.
TEST(Win32Seam, SetupApiReadsADevicesTextsAndTheStaleAdapterCleanUpRemovesIt) {
  const size_t before = PresentDevices();
  const std::unique_ptr<void, decltype(&SetupDiDestroyDeviceInfoList)> set(
      SetupDiCreateDeviceInfoList(&GUID_DEVCLASS_NET, nullptr), &SetupDiDestroyDeviceInfoList);
  SP_DEVINFO_DATA device{sizeof(SP_DEVINFO_DATA), {}, 0, 0};
  // The description given here is the device's SPDRP_DEVICEDESC.
  ASSERT_TRUE(SetupDiCreateDeviceInfoW(set.get(), L"NET", &GUID_DEVCLASS_NET,
                                       L"Wintun Userspace Tunnel", nullptr, DICD_GENERATE_ID,
                                       &device))
      << GetLastError();
  const auto removal = [&](void*) { SetupDiRemoveDevice(set.get(), &device); };
  const std::unique_ptr<void, decltype(removal)> registered(&device, removal);
  constexpr wchar_t kFriendlyName[] = L"OrvoVPN";
  ASSERT_TRUE(SetupDiSetDeviceRegistryPropertyW(set.get(), &device, SPDRP_FRIENDLYNAME,
                                                reinterpret_cast<const BYTE*>(kFriendlyName),
                                                sizeof kFriendlyName) &&
              SetupDiRegisterDeviceInfo(set.get(), &device, 0, nullptr, nullptr, nullptr))
      << GetLastError();
  ASSERT_EQ(PresentDevices(), before + 1);
  // Removing a device that is not in the set is refused, not attempted.
  EXPECT_EQ(platform::SystemNetworkDevices().OpenPresent().set->Remove(100000).error,
            static_cast<uint32_t>(ERROR_INVALID_PARAMETER));

  // A stray sing-box.exe, kept running by its open input, is ended before the devices go.
  platform::SpawnRequest stray_start;
  stray_start.command_line =
      L"\"" + orvo_test::StandInDirectory() + L"\\sing-box.exe\" run -c stdin";
  const auto stray = platform::SystemChildProcesses().Spawn(stray_start).child;
  ASSERT_TRUE(stray);
  const orvo_test::TextCase expected = orvo_test::ReadCases("windows/adapter_removal.txt").at(0);
  LogCapture log;
  KillLingeringProcesses();
  EXPECT_EQ(stray->ExitCode(), std::optional<uint32_t>(0));
  EXPECT_EQ(std::regex_replace(log.StandardError(), std::regex("PID=[0-9]+"), "PID=N"),
            expected["log"]);
  EXPECT_EQ(PresentDevices(), before);
  EXPECT_EQ(StandInCalls(L"setupapi.dll"), expected["calls"]);
}

// With the stand-ins it loads both libraries with every entry point, makes the adapter (in the
// stand-in's memory), the session and the socket, and comes up; its address, MTU and routes go
// through the product's IP Helper to the iphlpapi stand-in. The server's host route, removed from
// outside while the tunnel is up, is put back by the timer's upkeep.
TEST(Win32Seam, WireGuardConnectWithTheStandInsComesUpAndGoesDown) {
  RuntimeFacilities facilities = RuntimeFacilities::System();
  bool wintun_is_wireguard = true;  // at first a wintun.dll without Wintun's entry points
  facilities.load_library = [&](const std::wstring& file_name) {
    return platform::LoadDynamicLibrary(file_name == L"wintun.dll" && !wintun_is_wireguard
                                            ? orvo_test::WintunStandInPath()
                                            : orvo_test::WireGuardStandInPath());
  };
  const orvo_test::TextCase expected = orvo_test::ReadCases("windows/wireguard_connect.txt").at(0);
  platform::IpHelper& ip_helper = *facilities.ip_helper;
  std::vector<platform::InterfaceRow> interfaces;
  ASSERT_EQ(ip_helper.GetInterfaceTable(interfaces), platform::kIpHelperOk);
  EXPECT_TRUE(interfaces.size() == 3 && interfaces[2].luid == 0x35000001000000 &&
              interfaces[2].index == 3 && interfaces[2].alias == L"ORVO VPN" &&
              interfaces[2].oper_status == platform::kIfOperStatusUp);
  EXPECT_EQ(FakeIpHelper::ForwardTable(ip_helper), expected["routes"]);
  LogCapture log;
  ConnectRequest request;
  ASSERT_TRUE(ParseLegacyConfig(expected["request"], request));
  std::string error;
  {  // A wintun.dll that fails its check is let go (FreeLibrary), and a connect that fails after
     // starting the socket library stops it (WSACleanup).
    Runtime failing(facilities);
    EXPECT_TRUE(!failing.Connect(request, error) && error == "wintun_load_failed") << error;
    wintun_is_wireguard = false;
    request.serverEndpoint = "nowhere.invalid:51820";
    EXPECT_TRUE(!failing.Connect(request, error) && error == "resolve_failed") << error;
  }
  ASSERT_TRUE(ParseLegacyConfig(expected["request"], request));
  Runtime runtime(facilities);
  ASSERT_TRUE(runtime.Initialize(L"C:\\nowhere"));
  log.Clear();
  StandInCalls(L"iphlpapi.dll");
  ASSERT_TRUE(runtime.Connect(request, error)) << error;
  const std::string debugger = WideToUtf8(log.Debugger());
  EXPECT_NE(debugger.find(expected["debugger"]), std::string::npos) << debugger;
  EXPECT_EQ(StandInCalls(L"iphlpapi.dll"), expected["calls"]);
  EXPECT_EQ(ip_helper.DeleteForwardEntry(
                FakeIpHelper::ParseRoute(expected["host route removed from outside"])),
            platform::kIpHelperOk);
  const std::string upkept = expected["routes once the upkeep has passed"];
  EXPECT_EQ(orvo_test::PollFor([&] { return FakeIpHelper::ForwardTable(ip_helper); }, upkept),
            upkept);
  runtime.Disconnect();
  const std::string calls = StandInCalls(L"iphlpapi.dll");
  EXPECT_TRUE(calls.ends_with(expected["disconnect calls end"])) << calls;
  EXPECT_EQ(FakeIpHelper::ForwardTable(ip_helper), expected["routes"]);
}

}  // namespace
}  // namespace orvo_vpn_win_svc
#endif
