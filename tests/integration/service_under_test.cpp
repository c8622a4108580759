#include "integration/service_under_test.h"

#include <fstream>
#include <system_error>

#include "support/poll.h"
#include "support/stand_in.h"
#include "support/tunnel_libraries.h"

#ifndef _WIN32
#include <signal.h>
#endif

namespace orvo_test {
namespace {

using namespace std::chrono_literals;

const std::string kBuild = ORVO_BUILD_DIR;
constexpr char kStandInSettings[] = "stand-in.env";
constexpr char kLogFile[] = "service.log";

// The service finds sing-box by its file name in its own directory. This launcher reads what the
// test last wrote beside it and becomes the stand-in, so a test can change the stand-in's
// behaviour between two connects of one service.
std::string Launcher(const std::filesystem::path& install) {
  return "#!/bin/sh\n"
         "if [ -r '" +
         (install / kStandInSettings).string() + "' ]; then . '" +
         (install / kStandInSettings).string() +
         "'; fi\n"
         "exec '" +
         kBuild + "/test-bin/sing-box' \"$@\"\n";
}

// A link where the file system allows it (the service must run from this directory, not the
// build's, so a symbolic link would not do), a copy otherwise.
void PlaceService(const std::filesystem::path& target) {
  std::error_code error;
  std::filesystem::create_hard_link(kBuild + "/orvo-vpn-svc", target, error);
  if (error) {
    std::filesystem::copy_file(kBuild + "/orvo-vpn-svc", target, error);
  }
}

}  // namespace

ServiceUnderTest::ServiceUnderTest() {
  PlaceService(install_.path() / "orvo-vpn-svc");
  const std::filesystem::path launcher = install_.path() / "sing-box";
  std::ofstream(launcher) << Launcher(install_.path());
  std::filesystem::permissions(launcher, std::filesystem::perms::owner_all |
                                             std::filesystem::perms::group_read |
                                             std::filesystem::perms::group_exec);
  SetStandIn({});
}

bool ServiceUnderTest::StartBesideWireGuardPeer(WireGuardPeer& peer, std::string& why_not) {
  return peer.Start(why_not) && Start(Mode::kConsole, {TunnelLibrarySearchPath()}, why_not);
}

std::filesystem::path ServiceUnderTest::StateFolder() const {
  return config_home_.path() / "OrvoVPN";
}

std::filesystem::path ServiceUnderTest::StateFile() const {
  return StateFolder() / "connection.json";
}

void ServiceUnderTest::SetStandIn(
    const std::vector<std::pair<std::string, std::string>>& variables) const {
  std::ofstream settings(install_.path() / kStandInSettings, std::ios::trunc);
  for (const auto& [name, value] : variables) {
    settings << "export " << name << "='" << value << "'\n";
  }
}

std::string ServiceUnderTest::Log() const {
  return ReadWholeFile((install_.path() / kLogFile).string());
}

bool ServiceUnderTest::WaitForLog(const std::string& text,
                                  std::chrono::milliseconds timeout) const {
  return PollUntil([&] { return Log().find(text) != std::string::npos; }, timeout);
}

CtlResult ServiceUnderTest::Ctl(const std::vector<std::string>& arguments) const {
  std::vector<std::string> command = {kBuild + "/orvo-vpn-ctl"};
  command.insert(command.end(), arguments.begin(), arguments.end());
  BackgroundProcess ctl;
  CtlResult result;
  if (!ctl.Start(command)) {
    result.output = "orvo-vpn-ctl could not be started";
    return result;
  }
  // Long enough for a connect that runs all its attempts.
  result.exit_code = ctl.WaitForExit(300s).value_or(-1);
  result.output = ctl.Output();
  return result;
}

ProcessResources ServiceUnderTest::Holdings() const {
  return CountProcessResourcesOf(service_pid_);
}

std::vector<int> ServiceUnderTest::Children() const {
  return ChildProcessIds(service_pid_);
}

#ifndef _WIN32

bool ServiceUnderTest::Start(Mode mode, const std::vector<std::string>& environment,
                             std::string& why_not) {
  // The log goes to a file: a pipe nobody reads would stop a talkative service.
  std::vector<std::string> command = {
      "sh",
      "-c",
      "exec \"$@\" >'" + (install_.path() / kLogFile).string() + "' 2>&1",
      "sh",
      "env",
      "-u",
      "NOTIFY_SOCKET",
      "HOME=" + config_home_.path().string(),
      "XDG_CONFIG_HOME=" + config_home_.path().string(),
      "ORVO_PIPE_DIR=" + pipe_.SocketDirectory().string()};
  command.insert(command.end(), environment.begin(), environment.end());
  command.insert(command.end(), {"unshare", "--pid", "--fork", "--mount-proc", "--kill-child",
                                 (install_.path() / "orvo-vpn-svc").string()});
  if (mode == Mode::kConsole) {
    command.emplace_back("--console");
  }
  if (!process_.Start(command)) {
    why_not = "cannot start the service through sh, env and unshare";
    return false;
  }
  if (!PollUntil(
          [&] {
            const std::vector<int> children = ChildProcessIds(process_.Pid());
            service_pid_ = children.empty() ? -1 : children.front();
            return service_pid_ > 0;
          },
          10s)) {
    why_not = "unshare started no service (a PID namespace needs root): " + Log();
    return false;
  }
  const std::string running = mode == Mode::kConsole ? "ORVO_SVC: IPC running on pipe\n"
                                                     : "IPC: Pipe created successfully\n";
  if (!WaitForLog(running, 10s)) {
    why_not = "the service did not open its pipe: " + Log();
    return false;
  }
  return true;
}

bool ServiceUnderTest::Signal(int signal_number) const {
  return service_pid_ > 0 && kill(service_pid_, signal_number) == 0;
}

std::optional<int> ServiceUnderTest::WaitForExit(std::chrono::milliseconds timeout) {
  // unshare ends with its child and passes the child's exit code on.
  return process_.WaitForExit(timeout);
}

ServiceUnderTest::~ServiceUnderTest() {
  // The service is the first process of its PID namespace, which ignores SIGTERM unless it
  // handles it; SIGKILL ends it and, with it, every stand-in it started. unshare then ends and
  // the BackgroundProcess reaps it.
  if (service_pid_ > 0 && process_.Pid() > 0) {
    for (const int child : ChildProcessIds(process_.Pid())) {
      if (child == service_pid_) {
        kill(service_pid_, SIGKILL);
      }
    }
  }
  process_.WaitForExit(10s);
}

#else

bool ServiceUnderTest::Start(Mode, const std::vector<std::string>&, std::string& why_not) {
  why_not = "the service is driven this way on Linux only";
  return false;
}

bool ServiceUnderTest::Signal(int) const {
  return false;
}

std::optional<int> ServiceUnderTest::WaitForExit(std::chrono::milliseconds) {
  return std::nullopt;
}

ServiceUnderTest::~ServiceUnderTest() = default;

#endif

}  // namespace orvo_test
