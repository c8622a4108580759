// The Windows build of the service as a user runs it, under Wine: orvo-vpn-svc.exe from a
// directory holding the sing-box.exe stand-in, driven only by orvo-vpn-ctl.exe over the real
// named pipe; first in console mode, then installed and run by Wine's service manager with
// "sc create", "net start" and "net stop".
//
// What Wine allows: it has no WFP engine (the kill switch stays off) and no Wintun driver, so the
// test registers the driver's service key for the time of a connect; sing-box.exe then runs for
// real, reports readiness, and the connect fails at the TUN check because no TUN interface
// appears.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/text_encoding.h"
#include "support/platform_kind.h"
#include "support/poll.h"
#include "support/scratch_directory.h"
#include "support/spawned_program.h"
#include "support/stand_in.h"

#if defined(_WIN32)
#include <windows.h>
#endif

namespace orvo_vpn_win_svc {
namespace {

using namespace std::chrono_literals;
using orvo_test::SpawnedProgram;

constexpr char kConnect[] =
    R"({"cmd":"connect","config":{"server_ip":"198.51.100.7","port":443,"password":"pw"},)"
    R"("metadata":{"access_code":"AC-1234"}})";
constexpr char kTunNotUp[] =
    R"({"error":"ERR_TUN_NOT_UP: sing-box started but TUN 'OrvoVPN' not in UP state",)"
    R"("success":false})";
constexpr char kWintunMissing[] =
    R"({"error":"ERR_WINTUN_NOT_INSTALLED: WinTUN driver not installed. Please reinstall )"
    R"(OrvoVPN.","success":false})";
constexpr char kSuccess[] = R"({"success":true})";
constexpr char kNotConnected[] = R"({"error":"not_connected","success":false})";
constexpr char kServiceName[] = "OrvoVpnWinSvc";

struct Exchange {
  std::string request;  // sent with "orvo-vpn-ctl raw"
  std::string reply;
  uint32_t exit_code;
};

std::wstring Quoted(const std::wstring& text) {
  return L"\"" + text + L"\"";
}

std::wstring Wide(const std::string& text) {
  return Utf8ToWide(text);
}

// Runs a program to its end; what it printed, or a note that it did not end.
std::string RunToEnd(const std::wstring& command_line, uint32_t* exit_code = nullptr) {
  SpawnedProgram program;
  if (!program.Start(command_line, orvo_test::StandInDirectory())) {
    return "(could not be started)";
  }
  const std::optional<uint32_t> code = program.WaitForExit(120s);
  if (exit_code != nullptr) {
    *exit_code = code.value_or(0xffffffffu);
  }
  return code ? program.Output() : "(still running) " + program.Output();
}

#if defined(_WIN32)

// The Wintun driver's service key, present for as long as this object lives. A key that was
// there before (a machine with the real driver) is left as it was.
class FakeWintunDriverKey {
 public:
  FakeWintunDriverKey() {
    HKEY key = nullptr;
    DWORD disposition = 0;
    present_ = RegCreateKeyExW(HKEY_LOCAL_MACHINE, kPath, 0, nullptr, 0, KEY_WRITE, nullptr, &key,
                               &disposition) == ERROR_SUCCESS;
    if (present_) {
      created_ = disposition == REG_CREATED_NEW_KEY;
      RegCloseKey(key);
    }
  }
  ~FakeWintunDriverKey() {
    if (created_) {
      RegDeleteKeyW(HKEY_LOCAL_MACHINE, kPath);
    }
  }
  FakeWintunDriverKey(const FakeWintunDriverKey&) = delete;
  FakeWintunDriverKey& operator=(const FakeWintunDriverKey&) = delete;
  bool present() const { return present_; }

 private:
  static constexpr wchar_t kPath[] = L"SYSTEM\\CurrentControlSet\\Services\\Wintun";
  bool present_ = false;
  bool created_ = false;
};

// The state and exit code the service manager reports for the service.
struct ServiceState {
  DWORD state = 0;
  DWORD exit_code = 0;
};

std::optional<ServiceState> QueryService() {
  SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
  if (manager == nullptr) {
    return std::nullopt;
  }
  std::optional<ServiceState> result;
  if (SC_HANDLE service = OpenServiceW(manager, L"OrvoVpnWinSvc", SERVICE_QUERY_STATUS)) {
    SERVICE_STATUS status{};
    if (QueryServiceStatus(service, &status)) {
      result = ServiceState{status.dwCurrentState, status.dwWin32ExitCode};
    }
    CloseServiceHandle(service);
  }
  CloseServiceHandle(manager);
  return result;
}

#endif

bool HasLine(const std::string& log, const std::string& line) {
  return log.find(line) != std::string::npos;
}

class ServiceUnderWine : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!orvo_test::kWindows) {
      GTEST_SKIP() << "the Windows build of the service; runs in the Windows tier (Wine)";
    }
    // The service must run from a directory of its own: it looks for sing-box.exe beside itself.
    const std::filesystem::path build = orvo_test::NativePath(ORVO_BUILD_DIR);
    std::filesystem::copy_file(build / "orvo-vpn-svc.exe", install_.path() / "orvo-vpn-svc.exe");
    std::filesystem::copy_file(build / "test-bin" / "sing-box.exe",
                               install_.path() / "sing-box.exe");
  }

  std::wstring ServicePath() const { return (install_.path() / "orvo-vpn-svc.exe").wstring(); }

  // One exchange through the real client.
  void Expect(const Exchange& exchange) const {
    SCOPED_TRACE(exchange.request);
    uint32_t code = 0;
    const std::string output = RunToEnd(Ctl(L"raw " + Quoted(Escaped(exchange.request))), &code);
    EXPECT_EQ(output, exchange.reply);
    EXPECT_EQ(code, exchange.exit_code);
  }

  void ExpectAll(const std::vector<Exchange>& exchanges) const {
    for (const Exchange& exchange : exchanges) {
      Expect(exchange);
    }
  }

  static std::wstring Ctl(const std::wstring& arguments) {
    return Quoted(orvo_test::NativePath(std::string(ORVO_BUILD_DIR) + "/orvo-vpn-ctl.exe")) + L" " +
           arguments;
  }

  // A command-line argument in double quotes: embedded quotes get a backslash each (the JSON
  // requests here hold no backslash before a quote).
  static std::wstring Escaped(const std::string& text) {
    std::wstring escaped;
    for (const wchar_t c : Wide(text)) {
      if (c == L'"') {
        escaped += L'\\';
      }
      escaped += c;
    }
    return escaped;
  }

  // The walk both run modes share, from an idle service back to an idle one.
  void ExpectConnectRelayAndDisconnect(const std::string& mode_name) const {
    SCOPED_TRACE(mode_name);
    ExpectAll({{"status", "disconnected", 0},
               {R"({"cmd":"status"})", R"({"data":{"status":"disconnected"},"success":true})", 0},
               {"permission", "ok", 0},
               {R"({"cmd":"nope"})", R"({"error":"unknown_command","success":false})", 1},
               {R"({"cmd":"get_connection_info"})", kNotConnected, 1},
               // Without the driver's service key the connect stops before sing-box.
               {kConnect, kWintunMissing, 1}});
#if defined(_WIN32)
    {
      FakeWintunDriverKey driver;
      ASSERT_TRUE(driver.present());
      const auto start = std::chrono::steady_clock::now();
      Expect({kConnect, kTunNotUp, 1});
      std::printf("%s: Hysteria2 connect under Wine failed at the TUN check after %lld ms\n",
                  mode_name.c_str(),
                  static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                             std::chrono::steady_clock::now() - start)
                                             .count()));
    }
#endif
    ExpectAll(
        {{"status", "invalid", 0},
         {R"({"cmd":"get_connection_info"})", kNotConnected, 1},
         // Wine has no WFP engine: the request is taken, the kill switch stays off.
         {R"({"cmd":"set_kill_switch","settings":{"enabled":true}})", kSuccess, 0},
         {R"({"cmd":"get_kill_switch_status"})", R"({"data":{"enabled":false},"success":true})", 0},
         {R"({"cmd":"start_relay_proxy","config":{"relay_domain":"127.0.0.1",)"
          R"("relay_port":8443,"password":"relay-pw","obfs_password":"relay-obfs",)"
          R"("local_port":10818}})",
          kSuccess, 0},
         {R"({"cmd":"is_relay_proxy_running"})", R"({"running":true,"success":true})", 0},
         {R"({"cmd":"stop_relay_proxy"})", kSuccess, 0},
         {R"({"cmd":"is_relay_proxy_running"})", R"({"running":false,"success":true})", 0},
         {R"({"cmd":"disconnect"})", kSuccess, 0},
         {"status", "disconnected", 0},
         {"disconnect", "ok", 0}});
  }

  orvo_test::ScratchDirectory install_;
};

TEST_F(ServiceUnderWine, ConsoleModeDrivenByTheClientOverTheNamedPipe) {
  SpawnedProgram service;
  ASSERT_TRUE(service.Start(Quoted(ServicePath()) + L" --console", install_.path().wstring()));
  // The log goes through standard error in text mode: every line ends in CR LF.
  ASSERT_TRUE(service.WaitForOutput("ORVO_SVC: IPC running on pipe\r\n", 30s))
      << "exit code " << service.WaitForExit(0ms).value_or(259) << ", output: " << service.Output();

  // The client's own formatting: a reply and a line end (CR LF in Windows text mode).
  uint32_t code = 0;
  EXPECT_EQ(RunToEnd(Ctl(L"status"), &code),
            "{\"data\":{\"status\":\"disconnected\"},\"success\":true}\r\n");
  EXPECT_EQ(code, 0u);

  ExpectConnectRelayAndDisconnect("console mode");

#if defined(_WIN32)
  // The refused kill switch leaves the connect path as it was: sing-box runs to the TUN check.
  {
    FakeWintunDriverKey driver;
    ASSERT_TRUE(driver.present());
    Expect({kConnect, kTunNotUp, 1});
  }
  Expect({R"({"cmd":"disconnect"})", kSuccess, 0});
#endif

  const std::string log = service.Output();
  for (const char* line :
       {"WFP: FwpmEngineOpen failed: 1764\r\n", "ORVO_SVC: sing-box.exe initialized, version: ",
        "ORVO_SVC: >>> Detected 'sing-box started' signal <<<\r\n",
        "ORVO_SVC: Failed to enable kill switch\r\n", "RELAY: Proxy stopped\r\n"}) {
    EXPECT_TRUE(HasLine(log, line)) << line << "\n" << log;
  }
}

#if defined(_WIN32)

TEST_F(ServiceUnderWine, ServiceModeUnderWinesServiceManager) {
  const std::wstring sc = L"sc.exe";
  const std::wstring net = L"net.exe";
  const std::wstring name = Wide(kServiceName);
  uint32_t code = 0;
  const std::string created =
      RunToEnd(sc + L" create " + name + L" binPath= " + Quoted(ServicePath()), &code);
  ASSERT_EQ(code, 0u) << created;
  // Stopped (where it still runs) and removed again whatever happens below.
  struct Removal {
    std::wstring stop;
    std::wstring remove;
    ~Removal() {
      RunToEnd(stop);
      RunToEnd(remove);
    }
  } removal{net + L" stop " + name, sc + L" delete " + name};

  const std::string started = RunToEnd(net + L" start " + name, &code);
  ASSERT_EQ(code, 0u) << started;
  std::optional<ServiceState> state = QueryService();
  ASSERT_TRUE(state);
  EXPECT_EQ(state->state, static_cast<DWORD>(SERVICE_RUNNING));
  // RUNNING is reported before the pipe server has its first instance up.
  ASSERT_TRUE(
      orvo_test::PollUntil([] { return RunToEnd(Ctl(L"raw status")) == "disconnected"; }, 30s));

  ExpectConnectRelayAndDisconnect("service mode");

  const std::string stopped = RunToEnd(net + L" stop " + name, &code);
  EXPECT_EQ(code, 0u) << stopped;
  state = QueryService();
  ASSERT_TRUE(state);
  EXPECT_EQ(state->state, static_cast<DWORD>(SERVICE_STOPPED));
  EXPECT_EQ(state->exit_code, static_cast<DWORD>(NO_ERROR));
  // The pipe went with the service.
  EXPECT_EQ(RunToEnd(Ctl(L"raw status"), &code).find("disconnected"), std::string::npos);
  EXPECT_EQ(code, 2u) << "the client reports an unreachable service";
}

#endif

}  // namespace
}  // namespace orvo_vpn_win_svc
