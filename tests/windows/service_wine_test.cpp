// The Windows build of the service as a user runs it, under Wine: orvo-vpn-svc.exe from a
// directory holding the sing-box.exe stand-in, driven only by orvo-vpn-ctl.exe over the real
// named pipe; first in console mode, then installed and run by Wine's service manager with
// "sc create", "net start" and "net stop".
//
// Wine has no WFP engine, so the service gets the fwpuclnt stand-in beside it (loaded through a
// DLL override) and its kill switch runs; the filters the stand-in holds are read from its state
// file. Wine has no Wintun driver either, so the test registers the driver's service key for the
// time of a connect; sing-box.exe then runs for real, reports readiness, and the connect fails
// at the TUN check because no TUN interface appears.
#ifdef _WIN32
#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "fwpuclnt/stand_in_controls.h"
#include "platform/process_table.h"
#include "platform/text_encoding.h"
#include "support/case_file.h"
#include "support/poll.h"
#include "support/scratch_directory.h"
#include "support/spawned_program.h"
#include "support/stand_in.h"

namespace orvo_vpn_win_svc {
namespace {

using namespace std::chrono_literals;
using orvo_test::SpawnedProgram;

std::wstring Quoted(const std::wstring& text) {
  return L"\"" + text + L"\"";
}

// Runs a program to its end: "exit-code output", the code 4294967295 when it did not end.
std::string RunToEnd(const std::wstring& command_line) {
  SpawnedProgram program;
  const std::optional<uint32_t> code = program.Start(command_line, orvo_test::StandInDirectory())
                                           ? program.WaitForExit(120s)
                                           : std::nullopt;
  return std::to_string(code.value_or(0xffffffffu)) + " " + program.Output();
}

// orvo-vpn-ctl.exe with `arguments`, then `request` in double quotes, embedded quotes escaped
// (the requests here hold no backslash).
std::wstring Ctl(const std::wstring& arguments, const std::string& request = "") {
  std::wstring quoted;
  for (const wchar_t c : Utf8ToWide(request)) {
    quoted += c == L'"' ? std::wstring(L"\\\"") : std::wstring(1, c);
  }
  return Quoted(orvo_test::NativePath(std::string(ORVO_BUILD_DIR) + "/orvo-vpn-ctl.exe")) + L" " +
         arguments + (request.empty() ? L"" : L" " + Quoted(quoted));
}

// The walk both run modes share, from an idle service back to an idle one: "> request" lines
// are sent with "orvo-vpn-ctl raw", "+ request" lines with the Wintun driver's service key
// registered (a Wine prefix starts without one), each followed by "< exit-code reply".
std::string ClientWalk(const std::string& expected) {
  static constexpr wchar_t kWintunKey[] = L"SYSTEM\\CurrentControlSet\\Services\\Wintun";
  std::istringstream lines(expected);
  std::string transcript;
  for (std::string line; std::getline(lines, line);) {
    if (line.starts_with("> ") || line.starts_with("+ ")) {
      if (line[0] == '+') {  // the key is made with its value
        EXPECT_EQ(RegSetKeyValueW(HKEY_LOCAL_MACHINE, kWintunKey, nullptr, REG_SZ, L"", 2),
                  ERROR_SUCCESS);
      }
      transcript += line + "\n< " + RunToEnd(Ctl(L"raw", line.substr(2))) + "\n";
      RegDeleteKeyW(HKEY_LOCAL_MACHINE, kWintunKey);
    }
  }
  return transcript;
}

class ServiceUnderWine : public ::testing::Test {
 protected:
  void SetUp() override {
    // The service must run from a directory of its own: it looks for sing-box.exe beside itself.
    const std::filesystem::path build = orvo_test::NativePath(ORVO_BUILD_DIR);
    for (const std::filesystem::path file :
         {"orvo-vpn-svc.exe", "test-bin/sing-box.exe", "tests/fwpuclnt.dll"}) {
      std::filesystem::copy_file(build / file, install_.path() / file.filename());
    }
    std::filesystem::remove(kStandInFwpStateFile);
  }
  std::wstring ServicePath() const { return (install_.path() / "orvo-vpn-svc.exe").wstring(); }
  void ExpectClientWalk() const {
    const std::string expected = orvo_test::GoldenText("windows/client_walk.txt");
    EXPECT_EQ(ClientWalk(expected), expected);
    // The walk leaves the kill switch on, as planned for a service that has not connected.
    const auto plans = orvo_test::ReadCases("unit/killswitch/plans.txt");
    const auto own = std::ranges::find(
        plans,
        "before the tunnel is up the tunnel's own processes are permitted, and the LAN as at start",
        &orvo_test::TextCase::name);
    ASSERT_NE(own, plans.end());
    EXPECT_EQ(StandInFilters(), (*own)["plan"]);
  }
  // The stand-in's committed filters, the install directory shown as C:\VPN.
  std::string StandInFilters() const {
    std::string text = orvo_test::ReadWholeFile(kStandInFwpStateFile);
    const std::string directory = WideToUtf8(install_.path().wstring());
    for (size_t at; (at = text.find(directory)) != std::string::npos;) {
      text.replace(at, directory.size(), "C:\\VPN");
    }
    return text;
  }

  orvo_test::ScratchDirectory install_;
};

TEST_F(ServiceUnderWine, ConsoleModeDrivenByTheClientOverTheNamedPipe) {
  auto service = std::make_unique<SpawnedProgram>();
  ASSERT_TRUE(service->Start(Quoted(ServicePath()) + L" --console", install_.path().wstring()));
  // The log goes through standard error in text mode: every line ends in CR LF.
  ASSERT_TRUE(service->WaitForOutput("ORVO_SVC: IPC running on pipe\r\n", 30s))
      << service->Output();
  ExpectClientWalk();

  // Ended outright, the service takes the relay's sing-box with it: closing its job kills it. (The
  // client's own formatting: the reply and a line end, CR LF in Windows text mode.)
  const auto sing_boxes = [] {
    const auto table =
        platform::SystemProcessTable().Snapshot().value_or(std::vector<platform::ProcessEntry>{});
    return std::count_if(table.begin(), table.end(),
                         [](const auto& process) { return process.image_name == L"sing-box.exe"; });
  };
  ASSERT_EQ(RunToEnd(Ctl(L"relay start --domain 127.0.0.1 --password pw --local-port 10818")),
            "0 {\"success\":true}\r\n");
  ASSERT_EQ(sing_boxes(), 1);
  service.reset();
  EXPECT_TRUE(orvo_test::PollUntil([&] { return sing_boxes() == 0; }, 10s))
      << "sing-box outlived the service";
}

// What the service manager reports for the service, read with "sc query" as a user reads it:
// "state N exit M".
std::string ServiceState() {
  std::istringstream report(RunToEnd(L"sc.exe query OrvoVpnWinSvc"));
  std::string state = "no service";
  for (std::string key, colon, value; report >> key;) {
    if ((key == "STATE" || key == "WIN32_EXIT_CODE") && report >> colon >> value) {
      state = key == "STATE" ? "state " + value : state + " exit " + value;
    }
  }
  return state;
}

TEST_F(ServiceUnderWine, ServiceModeUnderWinesServiceManager) {
  const auto succeeds = [](const std::wstring& command) {
    const std::string ran = RunToEnd(command);
    return ran.starts_with("0 ") ? std::string() : ran;
  };
  // The service manager's children do not see the test's WINEDLLOVERRIDES; this key reaches it.
  static constexpr wchar_t kOverrides[] =
      L"Software\\Wine\\AppDefaults\\orvo-vpn-svc.exe\\DllOverrides";
  // Stopped (where it still runs) and removed again whatever happens below.
  struct Removal {
    ~Removal() {
      RunToEnd(L"net.exe stop OrvoVpnWinSvc");
      RunToEnd(L"sc.exe delete OrvoVpnWinSvc");
      RegDeleteTreeW(HKEY_CURRENT_USER, L"Software\\Wine\\AppDefaults\\orvo-vpn-svc.exe");
    }
  } removal;
  ASSERT_EQ(RegSetKeyValueW(HKEY_CURRENT_USER, kOverrides, L"fwpuclnt", REG_SZ, L"native,builtin",
                            sizeof(L"native,builtin")),
            ERROR_SUCCESS);
  ASSERT_EQ(succeeds(L"sc.exe create OrvoVpnWinSvc binPath= " + Quoted(ServicePath())), "");
  // SERVICE_STOPPED with ERROR_SERVICE_NEVER_STARTED, then SERVICE_RUNNING.
  EXPECT_EQ(ServiceState(), "state 1 exit 1077");
  ASSERT_EQ(succeeds(L"net.exe start OrvoVpnWinSvc"), "");
  EXPECT_EQ(ServiceState(), "state 4 exit 0");
  // RUNNING is reported before the pipe server has its first instance up.
  ASSERT_TRUE(
      orvo_test::PollUntil([] { return RunToEnd(Ctl(L"raw status")) == "0 disconnected"; }, 30s));
  ExpectClientWalk();
  EXPECT_EQ(succeeds(L"net.exe stop OrvoVpnWinSvc"), "");
  // The service reports STOPPED with no error once it has ended.
  EXPECT_TRUE(orvo_test::PollUntil([] { return ServiceState() == "state 1 exit 0"; }, 10s))
      << ServiceState();
  // Its filters go with it.
  EXPECT_TRUE(orvo_test::PollUntil([&] { return StandInFilters().empty(); }, 20s))
      << StandInFilters();
  // The pipe went with the service: the client reports an unreachable service.
  const std::string after = RunToEnd(Ctl(L"raw status"));
  EXPECT_TRUE(after.starts_with("2 ") && after.find("disconnected") == std::string::npos) << after;
}

}  // namespace
}  // namespace orvo_vpn_win_svc
#endif
