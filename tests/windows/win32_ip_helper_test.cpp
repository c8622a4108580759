// The iphlpapi side of the IP Helper seam, run under Wine in the Windows tier. Wine implements
// the two table reads and answers GetBestRoute2 with ERROR_NOT_SUPPORTED; every other call is a
// stub there that aborts the process, and on Windows those calls change the system, so no test
// here makes them (tests under Wine that would reach them use the recording fake).
#include <gtest/gtest.h>

#include <iostream>
#include <set>
#include <string>
#include <vector>

#include "platform/ip_helper.h"
#include "platform/text_encoding.h"
#include "support/platform_kind.h"

namespace orvo_vpn_win_svc {
namespace {

using platform::ForwardRow;
using platform::InterfaceRow;
using platform::IpAddress;

constexpr uint32_t kNotSupported = 50;  // ERROR_NOT_SUPPORTED

#define ORVO_WINDOWS_ONLY()                                             \
  if (!orvo_test::kWindows) {                                           \
    GTEST_SKIP() << "Win32 behaviour; runs in the Windows tier (Wine)"; \
  }

std::set<platform::InterfaceLuid> InterfaceLuids(platform::IpHelper& ip_helper) {
  std::vector<InterfaceRow> rows;
  EXPECT_EQ(ip_helper.GetInterfaceTable(rows), platform::kIpHelperOk);
  std::set<platform::InterfaceLuid> luids;
  for (const InterfaceRow& row : rows) {
    luids.insert(row.luid);
  }
  return luids;
}

TEST(Win32IpHelper, GetIfTable2ListsTheInterfacesWithTheirNames) {
  ORVO_WINDOWS_ONLY();
  const auto ip_helper = platform::SystemIpHelper();
  std::vector<InterfaceRow> rows;
  ASSERT_EQ(ip_helper->GetInterfaceTable(rows), platform::kIpHelperOk);
  ASSERT_FALSE(rows.empty());
  std::set<platform::InterfaceLuid> luids;
  for (const InterfaceRow& row : rows) {
    std::cout << "interface " << row.index << " luid 0x" << std::hex << row.luid << std::dec
              << " alias '" << WideToUtf8(row.alias) << "' description '"
              << WideToUtf8(row.description) << "' oper status " << row.oper_status << "\n";
    EXPECT_NE(row.luid, 0U);
    EXPECT_FALSE(row.alias.empty());
    EXPECT_LT(row.alias.size(), 257U);
    EXPECT_GE(row.oper_status, 1);
    EXPECT_LE(row.oper_status, 7);
    luids.insert(row.luid);
  }
  EXPECT_EQ(luids.size(), rows.size()) << "every interface has a LUID of its own";
}

TEST(Win32IpHelper, GetIpForwardTable2RoutesLeaveThroughListedInterfaces) {
  ORVO_WINDOWS_ONLY();
  const auto ip_helper = platform::SystemIpHelper();
  const std::set<platform::InterfaceLuid> luids = InterfaceLuids(*ip_helper);
  std::vector<ForwardRow> rows;
  ASSERT_EQ(ip_helper->GetForwardTable(IpAddress::Family::kIpv4, rows), platform::kIpHelperOk);
  for (const ForwardRow& row : rows) {
    EXPECT_EQ(row.destination.family, IpAddress::Family::kIpv4);
    EXPECT_LE(row.prefix_length, 32);
    EXPECT_EQ(luids.count(row.luid), 1U) << "route through an unlisted interface";
  }
}

TEST(Win32IpHelper, BestRouteIsAnsweredOnWindowsAndNotSupportedUnderWine) {
  ORVO_WINDOWS_ONLY();
  const auto ip_helper = platform::SystemIpHelper();
  ForwardRow route;
  const uint32_t result = ip_helper->GetBestRoute(IpAddress::Ipv4(0x7F000001), route);
  if (orvo_test::RunningUnderWine()) {
    EXPECT_EQ(result, kNotSupported);
    return;
  }
  ASSERT_EQ(result, platform::kIpHelperOk);
  EXPECT_EQ(InterfaceLuids(*ip_helper).count(route.luid), 1U);
}

}  // namespace
}  // namespace orvo_vpn_win_svc
