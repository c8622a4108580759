// The Win32 side of the system seams as Wine runs them: SetupAPI's device texts, the IP Helper's
// tables, and the WireGuard connect through the loader with the cross-built wintun.dll and
// boringtun.dll stand-ins. (The filtering engine runs on the fwpuclnt stand-in, in the kill
// switch's cases and in service_wine_test.cpp.)
#ifdef _WIN32
#include <gtest/gtest.h>

#include <windows.h>

#include <initguid.h>

#include <devguid.h>
#include <setupapi.h>

#include <memory>
#include <set>
#include <string>

#include "fakes/fake_ip_helper.h"
#include "platform/ip_helper.h"
#include "platform/log_capture.h"
#include "platform/network_devices.h"
#include "platform/text_encoding.h"
#include "runtime/runtime.h"
#include "support/case_file.h"
#include "support/platform_kind.h"
#include "support/tunnel_libraries.h"

namespace orvo_vpn_win_svc {
namespace {

// The present network devices as "friendly name=description" lines.
std::string DeviceTable() {
  platform::DeviceSetOpening opening = platform::SystemNetworkDevices().OpenPresent();
  if (!opening.set) {
    return "SetupDiGetClassDevsW failed: " + std::to_string(opening.error);
  }
  std::string table;
  for (const auto& device : opening.set->Devices()) {
    table += WideToUtf8(device.friendly_name) + "=" +
             (device.description ? WideToUtf8(*device.description) : "?") + "\n";
  }
  return table;
}

// A network-class device registered for the test's time, its description and friendly name set
// apart so that reading one for the other shows.
TEST(Win32Seam, SetupApiReadsEachDevicesDescriptionAndFriendlyName) {
  const std::string before = DeviceTable();
  const std::unique_ptr<void, decltype(&SetupDiDestroyDeviceInfoList)> set(
      SetupDiCreateDeviceInfoList(&GUID_DEVCLASS_NET, nullptr), &SetupDiDestroyDeviceInfoList);
  SP_DEVINFO_DATA device{sizeof(SP_DEVINFO_DATA), {}, 0, 0};
  const auto set_text = [&](DWORD property, const std::wstring& text) {
    return SetupDiSetDeviceRegistryPropertyW(set.get(), &device, property,
                                             reinterpret_cast<const BYTE*>(text.c_str()),
                                             static_cast<DWORD>((text.size() + 1) * 2));
  };
  ASSERT_TRUE(SetupDiCreateDeviceInfoW(set.get(), L"NET", &GUID_DEVCLASS_NET,
                                       L"Wintun Userspace Tunnel", nullptr, DICD_GENERATE_ID,
                                       &device))
      << GetLastError();
  const auto removal = [&](void*) { SetupDiRemoveDevice(set.get(), &device); };
  const std::unique_ptr<void, decltype(removal)> registered(&device, removal);
  ASSERT_TRUE(set_text(SPDRP_DEVICEDESC, L"Wintun Userspace Tunnel") &&
              set_text(SPDRP_FRIENDLYNAME, L"OrvoVPN") &&
              SetupDiRegisterDeviceInfo(set.get(), &device, 0, nullptr, nullptr, nullptr))
      << GetLastError();
  EXPECT_EQ(DeviceTable(), before + "OrvoVPN=Wintun Userspace Tunnel\n");
  // Removing a device that is not in the set is refused, not attempted.
  platform::DeviceSetOpening opening = platform::SystemNetworkDevices().OpenPresent();
  ASSERT_TRUE(opening.set);
  EXPECT_NE(opening.set->Remove(100000).outcome, platform::DeviceRemoval::Outcome::kRemoved);
}

// Wine implements the two table reads and answers GetBestRoute2 with ERROR_NOT_SUPPORTED; every
// other call aborts the process there (and changes the system on Windows), so none is made here.
TEST(Win32Seam, IpHelperListsInterfacesAndTheRoutesThroughThem) {
  const auto ip_helper = platform::SystemIpHelper();
  std::vector<platform::InterfaceRow> interfaces;
  std::vector<platform::ForwardRow> routes;
  ASSERT_EQ(ip_helper->GetInterfaceTable(interfaces), platform::kIpHelperOk);
  ASSERT_EQ(ip_helper->GetForwardTable(platform::IpAddress::Family::kIpv4, routes),
            platform::kIpHelperOk);
  std::set<platform::InterfaceLuid> luids;
  for (const auto& row : interfaces) {
    EXPECT_TRUE(!row.alias.empty() && row.oper_status >= 1 && row.oper_status <= 7);
    EXPECT_TRUE(luids.insert(row.luid).second) << "LUID 0x" << std::hex << row.luid << " twice";
  }
  EXPECT_FALSE(luids.empty());
  for (const auto& row : routes) {
    EXPECT_TRUE(row.destination.family == platform::IpAddress::Family::kIpv4 &&
                row.prefix_length <= 32 && luids.count(row.luid) == 1);
  }
  platform::ForwardRow best;
  EXPECT_EQ(ip_helper->GetBestRoute(platform::IpAddress::Ipv4(0x7F000001), best),
            orvo_test::RunningUnderWine() ? 50U : platform::kIpHelperOk);  // ERROR_NOT_SUPPORTED
}

// With the stand-ins it loads both libraries with every entry point, makes the adapter (in the
// stand-in's memory), the session and the socket, and comes up. Wine implements none of the IP
// Helper calls a connect makes, so the runtime gets the recording fake.
TEST(Win32Seam, WireGuardConnectWithTheStandInsComesUpAndGoesDown) {
  RuntimeFacilities facilities = RuntimeFacilities::System();
  facilities.load_library = [](const std::wstring& file_name) {
    return platform::LoadDynamicLibrary(file_name == L"wintun.dll"
                                            ? orvo_test::WintunStandInPath()
                                            : orvo_test::WireGuardStandInPath());
  };
  const auto ip_helper = std::make_shared<orvo_test::FakeIpHelper>();
  ip_helper->SetMtu(0x35000001000000, 1500);  // the stand-in adapter's LUID
  facilities.ip_helper = ip_helper;
  LogCapture log;
  Runtime runtime(facilities);
  ASSERT_TRUE(runtime.Initialize(L"C:\\nowhere"));
  log.Clear();
  ConnectRequest request;
  request.serverEndpoint = "127.0.0.1:51820";
  request.serverPublicKey = "xTIBA5rboUvnH4htodjb6e697QjLERt1NAB4mZqp8Dg=";
  request.privateKey = "yAnz5TF+lXXJte14tji3zlMNq+hd2rYUIgJBgB3fBmk=";
  request.assignedIp = "10.9.0.2";
  request.allowedIps = {"10.9.0.0/24"};
  request.mtu = 1380;
  std::string error;
  ASSERT_TRUE(runtime.Connect(request, error)) << error;
  EXPECT_EQ(runtime.GetState(), "connected");
  const orvo_test::TextCase expected = orvo_test::ReadCases("windows/wireguard_connect.txt").at(0);
  const std::string debugger = WideToUtf8(log.Debugger());
  EXPECT_NE(debugger.find(expected["debugger"]), std::string::npos) << debugger;
  EXPECT_EQ(ip_helper->TakeCalls(), expected["calls"]);
  runtime.Disconnect();
  EXPECT_EQ(runtime.GetState(), "disconnected");
  EXPECT_TRUE(ip_helper->TakeCalls().ends_with(expected["disconnect calls end"]));
}

}  // namespace
}  // namespace orvo_vpn_win_svc
#endif
