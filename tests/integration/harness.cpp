#if defined(__linux__)
#include "integration/harness.h"

#include <netdb.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>
#include <iterator>
#include <regex>
#include <sstream>
#include <utility>

#include "platform/text_encoding.h"
#include "support/network_namespace.h"
#include "support/poll.h"
#include "support/stand_in.h"

namespace orvo_test {
namespace {

using namespace std::chrono_literals;
const std::string kBuild = ORVO_BUILD_DIR;
const std::string kCtl = "env -u ORVO_PIPE_DIR " + kBuild + "/orvo-vpn-ctl ";

size_t Entries(const std::string& directory) {
  std::error_code error;
  const std::filesystem::directory_iterator entries(directory, error);
  return static_cast<size_t>(std::distance(begin(entries), end(entries)));
}

// What a service's user reads in its log: the host's and the handlers' lines, and the Wintun
// clean-up's findings.
const std::regex kLogLine(
    "ORVO_SVC: (Console mode start|Starting IPC|IPC |Kill switch|Enabling kill|Disabling kill|"
    "Failed to enable|Starting relay|Found WinTUN|Removed [0-9]+ WinTUN).*");
const std::regex kTime(R"re(("(connected_at|saved_at)": ?)([0-9]+))re");

// `text` as one word for the shell.
std::string Quoted(const std::string& text) {
  return "'" + std::regex_replace(text, std::regex("'"), "'\\''") + "'";
}

}  // namespace

std::string TcpConnect(const std::string& address, int port, std::chrono::milliseconds timeout) {
  addrinfo hints{};
  hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* peer = nullptr;
  if (getaddrinfo(address.c_str(), std::to_string(port).c_str(), &hints, &peer) != 0) {
    return "bad address";
  }
  // With a send time-out a connect gives up with EINPROGRESS once the time-out has passed.
  const int socket = ::socket(peer->ai_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const timeval limit{timeout.count() / 1000, timeout.count() % 1000 * 1000};
  setsockopt(socket, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof(limit));
  const bool connected = ::connect(socket, peer->ai_addr, peer->ai_addrlen) == 0;
  const std::string outcome = connected              ? "connected"
                              : errno == EINPROGRESS ? "timeout"
                                                     : "refused";
  ::close(socket);
  freeaddrinfo(peer);
  return outcome;
}

std::vector<int> ChildrenOf(int pid) {
  std::string lists;  // each thread lists the children it started
  std::error_code error;
  for (const auto& task :
       std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task", error)) {
    lists += ReadWholeFile((task.path() / "children").string()) + " ";
  }
  std::istringstream list(lists);
  return {std::istream_iterator<int>(list), std::istream_iterator<int>()};
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
  // The service finds sing-box by name in its own directory.
  std::filesystem::copy_file(kBuild + "/orvo-vpn-svc", install_.path() / "orvo-vpn-svc");
  std::filesystem::create_symlink(kBuild + "/test-bin/sing-box", install_.path() / "sing-box");
}

bool Service::Start(bool console, const std::vector<std::string>& prefix, std::string& why_not,
                    const std::string& setup) {
  // Scratch paths and the tests' prefixes and set-ups need no quoting. The shell names its
  // process id, which unshare keeps; the namespace's first process is its child, the service
  // that one's.
  const std::string dir = install_.path().string();
  started_ = std::time(nullptr);
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

std::string Service::Raw(const std::string& text) const {
  return Shell(kCtl + "raw " + Quoted(text));
}

// In the service's PID namespace as well as its mounts: the /proc mounted there must describe the
// client's own process too (the sanitizers' leak check reads it).
std::string Service::Shell(const std::string& command, int* exit_code) const {
  return ShellOutput(
      "nsenter -t " + std::to_string(pid_) + " -m -p sh -c " + Quoted(command) + " 2>&1",
      exit_code);
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

std::string Service::Transcript(const std::string& name) {
  std::istringstream golden(GoldenText("integration/" + name));
  std::string shown;
  for (std::string line; std::getline(golden, line);) {
    if (line.starts_with("$ ")) {
      shown += line + "\n" + Step(line.substr(2));
    }
  }
  std::string early;
  for (std::sregex_iterator it(shown.begin(), shown.end(), kTime), end; it != end; ++it) {
    early += std::stoll((*it)[3]) < started_ ? "(a time from before the start)\n" : "";
  }
  return std::regex_replace(shown, kTime, "$1T") + early;
}

std::string Service::Step(const std::string& line) {
  const size_t space = line.find(' ');
  const std::string step = line.substr(0, space);
  const std::string rest = space == std::string::npos ? "" : line.substr(space + 1);
  const auto lines = [](const std::string& text) {
    return text.empty() || text.back() == '\n' ? text : text + "\n";
  };
  const auto ctl = [&](const std::string& arguments) {  // what the client says, its exit code
    int code = -1;
    const std::string output = Shell(kCtl + arguments, &code);
    return lines(code == 2 ? "" : output) +
           (code == 0 ? "" : "[exit " + std::to_string(code) + "]\n");
  };
  std::string shows = "(unknown step)";
  if (step == "raw") {
    shows = ctl("raw " + Quoted(rest));
  } else if (step == "ctl") {
    shows = ctl(rest);
  } else if (step == "size") {  // a status request padded to the size given
    const std::string start = R"({"cmd":"status","pad":")";
    const std::string pad(std::stoul(rest) - start.size() - 2, 'p');
    shows = ctl("raw " + Quoted(start + pad + "\"}"));
  } else if (step == "until") {  // polls a step until it shows the line given (or nothing)
    const size_t arrow = rest.find(" => ");
    shows =
        PollFor([&] { return Step(rest.substr(0, arrow)); }, lines(rest.substr(arrow + 4)), 10s);
  } else if (step == "log") {  // the log lines that matter since the last look
    const std::string log = UserLog();
    shows = log.substr(std::exchange(log_seen_, log.size()));
  } else if (step == "state") {
    const std::string text = ReadWholeFile((home_.path() / "OrvoVPN/connection.json").string());
    shows = text.empty() ? "(no state file)" : text;
  } else if (step == "sh") {  // @HOME@ stands for the service's home, @BUILD@ for the build tree
    const std::string command =
        std::regex_replace(rest, std::regex("@HOME@"), home_.path().string());
    shows = Shell(std::regex_replace(command, std::regex("@BUILD@"), kBuild));
  } else if (step == "tcp") {  // address and port; polls a moment for a listener to come
    const size_t blank = rest.find(' ');
    const auto connect = [&] {
      return TcpConnect(rest.substr(0, blank), std::stoi(rest.substr(blank)), 5s);
    };
    shows = PollFor(connect, std::string("connected"), 2s);
  } else if (step == "kill-child") {  // SIGKILL to the service's one child
    const std::vector<int> children = ChildrenOf(pid_);
    const bool killed = children.size() == 1 && ::kill(children.front(), SIGKILL) == 0;
    shows = killed ? "" : "(not exactly one child)";
  }
  return lines(shows);
}

}  // namespace orvo_test
#endif
