#if defined(__linux__)
#include "integration/harness.h"

#include <netdb.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <regex>
#include <sstream>

#include "platform/text_encoding.h"
#include "support/network_namespace.h"
#include "support/poll.h"
#include "support/stand_in.h"

namespace orvo_test {
namespace {

using namespace std::chrono_literals;
const std::string kBuild = ORVO_BUILD_DIR;

size_t Entries(const std::string& directory) {
  std::error_code error;
  size_t count = 0;
  for (std::filesystem::directory_iterator it(directory, error), end; !error && it != end;
       it.increment(error)) {
    ++count;
  }
  return count;
}

// What a service's user reads in its log: the host's and the handlers' lines, and the Wintun
// clean-up's findings.
const std::regex kLogLine(
    "ORVO_SVC: (Console mode start|Starting IPC|IPC |Kill switch|Enabling kill|Disabling kill|"
    "Failed to enable|Starting relay|Found WinTUN|Removed [0-9]+ WinTUN).*");
const std::regex kTime(R"re(("(connected_at|saved_at)": ?)([0-9]+))re");

}  // namespace

std::string Quoted(const std::string& text) {
  return "'" + std::regex_replace(text, std::regex("'"), "'\\''") + "'";
}

std::string TcpConnect(const std::string& address, int port, std::chrono::milliseconds timeout) {
  addrinfo hints{};
  hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* peer = nullptr;
  if (getaddrinfo(address.c_str(), std::to_string(port).c_str(), &hints, &peer) != 0) {
    return "bad address";
  }
  const int socket = ::socket(peer->ai_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  std::string outcome = "refused";
  if (::connect(socket, peer->ai_addr, peer->ai_addrlen) == 0) {
    outcome = "connected";
  } else if (errno == EINPROGRESS) {
    pollfd watched{socket, POLLOUT, 0};
    int error = 0;
    socklen_t length = sizeof(error);
    if (::poll(&watched, 1, static_cast<int>(timeout.count())) != 1) {
      outcome = "timeout";
    } else if (getsockopt(socket, SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error == 0) {
      outcome = "connected";
    }
  }
  ::close(socket);
  freeaddrinfo(peer);
  return outcome;
}

std::vector<int> ChildrenOf(int pid) {
  std::vector<int> children;  // each thread lists the children it started
  std::error_code error;
  for (std::filesystem::directory_iterator it("/proc/" + std::to_string(pid) + "/task", error), end;
       !error && it != end; it.increment(error)) {
    std::istringstream list(ReadWholeFile((it->path() / "children").string()));
    for (int child; list >> child;) {
      children.push_back(child);
    }
  }
  return children;
}

bool Ended(int pid) {
  const std::string stat = ReadWholeFile("/proc/" + std::to_string(pid) + "/stat");
  return stat.empty() || stat.find(") Z ") != std::string::npos;
}

std::string Holdings(int pid) {
  const std::string proc = "/proc/" + std::to_string(pid);
  return std::to_string(Entries(proc + "/fd")) + " descriptors, " +
         std::to_string(Entries(proc + "/task")) + " threads, " +
         std::to_string(ChildrenOf(pid).size()) + " children";
}

Service::Service() {
  std::filesystem::copy_file(kBuild + "/orvo-vpn-svc", install_.path() / "orvo-vpn-svc");
  // The service finds sing-box by name in its own directory; this launcher reads what the test
  // last wrote beside it, so the stand-in can change between two connects.
  const auto launcher = install_.path() / "sing-box";
  std::ofstream(launcher) << "#!/bin/sh\n. '" << (install_.path() / "stand-in.env").string()
                          << "'\nexec '" << kBuild << "/test-bin/sing-box' \"$@\"\n";
  std::filesystem::permissions(launcher, std::filesystem::perms::owner_all);
  SetStandIn("");
}

void Service::SetStandIn(const std::string& exports) const {
  std::ofstream(install_.path() / "stand-in.env", std::ios::trunc) << exports << "\n";
}

bool Service::Start(bool console, const std::vector<std::string>& prefix, std::string& why_not,
                    const std::string& setup) {
  // Scratch paths and the tests' prefixes and set-ups need no quoting. The shell names its
  // process id, which unshare keeps; the namespace's first process is its child, the service
  // that one's.
  const std::string dir = install_.path().string();
  std::string script =
      "echo $$; exec env -u NOTIFY_SOCKET -u ORVO_PIPE_DIR HOME=" + home_.path().string() +
      " XDG_CONFIG_HOME=" + home_.path().string();
  for (const std::string& word : prefix) {
    script += " " + word;
  }
  script += " unshare --pid --fork --mount-proc --kill-child sh -c 'mount -t tmpfs tmpfs /run && " +
            (setup.empty() ? "true" : setup) + " && { " + dir + "/orvo-vpn-svc" +
            (console ? " --console" : "") + " & wait $!; echo $? >" + dir +
            "/exit; exec sleep infinity; }' >" + dir + "/log 2>&1";
  const auto found = [&] {
    const auto init = ChildrenOf(std::stoi(unshare_.Output()));
    const auto service = init.empty() ? init : ChildrenOf(init.front());
    pid_ = service.empty() ? -1 : service.front();
    std::error_code error;
    return std::filesystem::read_symlink("/proc/" + std::to_string(pid_) + "/exe", error)
        .string()
        .ends_with("orvo-vpn-svc");
  };
  if (!unshare_.Start(L"\"/bin/sh\" -c \"" + orvo_vpn_win_svc::Utf8ToWide(script) + L"\"", L"") ||
      !unshare_.WaitForOutput("\n", 10s) || !PollUntil(found, 10s)) {
    why_not = "no service started (PID namespaces need root): " + Log();
    return false;
  }
  const std::string running = console ? "IPC running on pipe" : "IPC: Pipe created successfully";
  return (PollUntil(
              [&] { return Log().find(running) != std::string::npos || WaitForExit(0s) >= 0; },
              10s) &&
          WaitForExit(0s) < 0) ||
         (why_not = "the service did not open its pipe: " + Log(), false);
}

CtlResult Service::Ctl(const std::string& arguments) const {
  // In the service's PID namespace as well as its mounts: the /proc mounted there must describe
  // the client's own process too (the sanitizers' leak check reads it).
  CtlResult result;
  result.output = ShellOutput("env -u ORVO_PIPE_DIR nsenter -t " + std::to_string(pid_) +
                                  " -m -p " + kBuild + "/orvo-vpn-ctl " + arguments + " 2>&1",
                              &result.exit_code);
  return result;
}

std::string Service::Shell(const std::string& command) const {
  return ShellOutput("nsenter -t " + std::to_string(pid_) + " -m -p sh -c " + Quoted(command) +
                     " 2>&1");
}

std::string Service::Log() const {
  return ReadWholeFile((install_.path() / "log").string());
}

std::string Service::UserLog() const {
  return KeptLines(Log(), [](const std::string& line) { return std::regex_match(line, kLogLine); });
}

int Service::WaitForExit(std::chrono::milliseconds timeout) const {
  const std::string file = (install_.path() / "exit").string();
  if (!PollUntil([&] { return ReadWholeFile(file).find('\n') != std::string::npos; }, timeout)) {
    return -1;
  }
  return std::stoi(ReadWholeFile(file));
}

std::string Service::Transcript(const std::string& name, long long& earliest_time) {
  std::istringstream golden(GoldenText("integration/" + name));
  std::string shown;
  const auto show = [&](const std::string& text) {
    shown += text.empty() || text.back() == '\n' ? text : text + "\n";
  };
  const auto reply = [&](const CtlResult& result) {
    show(result.exit_code == 2 ? "" : result.output);
    show(result.exit_code == 0 ? "" : "[exit " + std::to_string(result.exit_code) + "]");
  };
  for (std::string line; std::getline(golden, line);) {
    if (!line.starts_with("$ ")) {
      continue;
    }
    shown += line + "\n";
    const size_t space = line.find(' ', 2);
    const std::string step = line.substr(2, space - 2);
    const std::string rest = space == std::string::npos ? "" : line.substr(space + 1);
    if (step == "raw") {
      reply(Ctl("raw " + Quoted(rest)));
    } else if (step == "ctl") {
      reply(Ctl(rest));
    } else if (step == "size") {  // a status request padded to the size given
      std::string request = R"({"cmd":"status","pad":")";
      request += std::string(std::stoul(rest) - request.size() - 2, 'p') + "\"}";
      reply(Ctl("raw " + Quoted(request)));
    } else if (step == "until") {  // polls a request until it gets the reply given
      const size_t arrow = rest.find(" => ");
      show(PollFor([&] { return Raw(rest.substr(0, arrow)); }, rest.substr(arrow + 4), 10s));
    } else if (step == "log") {  // the log lines that matter since the last look
      const std::string log = UserLog();
      shown += log.substr(log_seen_);
      log_seen_ = log.size();
    } else if (step == "state") {
      const auto file = home_.path() / "OrvoVPN/connection.json";
      std::string text = ReadWholeFile(file.string());
      std::erase(text, '\r');
      show(std::filesystem::exists(file) ? text : "(no state file)");
    } else if (step == "sh") {  // @HOME@ stands for the service's home
      show(Shell(std::regex_replace(rest, std::regex("@HOME@"), home_.path().string())));
    } else if (step == "wait-sh") {  // polls a shell command until it succeeds
      show(PollUntil([&] { return RunShell(rest) == 0; }, 10s) ? "" : "(never)");
    } else if (step == "tcp") {  // address and port; polls a moment for a listener to come
      const size_t blank = rest.find(' ');
      const auto connect = [&] {
        return TcpConnect(rest.substr(0, blank), std::stoi(rest.substr(blank)), 5s);
      };
      show(PollFor(connect, std::string("connected"), 2s));
    } else if (step == "kill-child") {
      std::vector<int> children;
      PollUntil([&] { return (children = ChildrenOf(pid_)).size() == 1; });
      show(children.size() == 1 && ::kill(children.front(), SIGKILL) == 0 &&
                   PollUntil([&] { return ChildrenOf(pid_).empty(); })
               ? ""
               : "(not exactly one child)");
    } else {
      show("(unknown step)");
    }
  }
  for (std::sregex_iterator it(shown.begin(), shown.end(), kTime), end; it != end; ++it) {
    const long long time = std::stoll((*it)[3]);
    earliest_time = earliest_time == 0 ? time : std::min(earliest_time, time);
  }
  return std::regex_replace(shown, kTime, "$1T");
}

}  // namespace orvo_test
#endif
