// The kill switch on the kernel's nftables: real TCP connects from this ordinary process across
// a veth pair to listeners in a far namespace, compared with what the settings permit.
#if defined(__linux__)
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <random>
#include <thread>

#include "integration/harness.h"
#include "killswitch/wfp_manager.h"
#include "platform/host_resolver.h"
#include "support/network_namespace.h"
#include "support/poll.h"
#include "support/tunnel_libraries.h"

namespace orvo_test {
namespace {

using namespace std::chrono_literals;
using namespace orvo_vpn_win_svc;

constexpr int kPort = 7777;
constexpr char kServer[] = "203.0.113.2";
constexpr char kOther[] = "198.51.100.2";
constexpr char kLan[] = "10.77.0.2";
const std::vector<std::string> kAddresses = {"127.0.0.1", "::1",         kServer,  kOther,
                                             kLan,        "2001:db8::2", "fd77::2"};

// The addresses of kAddresses a connect reaches, in order; a blocked connect must be refused at
// once, never left to time out.
std::string Reachable() {
  std::string reached;
  for (const std::string& address : kAddresses) {
    const std::string outcome = TcpConnect(address, kPort, 2s);
    reached += outcome == "connected" ? address + " " : outcome == "timeout" ? "(timeout) " : "";
  }
  return reached;
}

// A listener on [::]:kPort in the network namespace of `pid` (0: this one), kept until the end.
int Listen(int pid) {
  int listener = -1;
  std::thread([&] {
    const int ns =
        pid > 0 ? open(("/proc/" + std::to_string(pid) + "/ns/net").c_str(), O_RDONLY) : -1;
    if (pid > 0 && (ns < 0 || setns(ns, CLONE_NEWNET) != 0)) {
      return;
    }
    close(ns);
    listener = socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int no = 0;
    setsockopt(listener, IPPROTO_IPV6, IPV6_V6ONLY, &no, sizeof(no));
    sockaddr_in6 any{AF_INET6, htons(kPort), 0, {}, 0};
    if (bind(listener, reinterpret_cast<sockaddr*>(&any), sizeof(any)) != 0 ||
        listen(listener, 512) != 0) {
      close(listener);
      listener = -1;
    }
  }).join();
  return listener;
}

// This namespace joined by a veth pair to a far one holding listeners on every address of
// kAddresses but loopback, which has one here. Accepted connections are closed at once.
class FarNetwork {
 public:
  bool Start() {
    if (!far_.Start({"unshare", "-n", "sleep", "600"}) || !PollUntil([&] {
          return ShellOutput("readlink /proc/" + std::to_string(far_.Pid()) + "/ns/net") !=
                 ShellOutput("readlink /proc/self/ns/net");
        })) {
      return false;
    }
    const std::string pid = std::to_string(far_.Pid());
    const auto addresses = [](const std::string& link, const std::string& last) {
      return " && ip addr add 203.0.113." + last + "/24 dev " + link +
             " && ip addr add 198.51.100." + last + "/24 dev " + link + " && ip addr add 10.77.0." +
             last + "/24 dev " + link + " && ip addr add 2001:db8::" + last + "/64 dev " + link +
             " nodad && ip addr add fd77::" + last + "/64 dev " + link + " nodad && ip link set " +
             link + " up";
    };
    if (RunShell("ip link add ks-near type veth peer name ks-far netns " + pid +
                 addresses("ks-near", "1")) != 0 ||
        RunShell("nsenter -t " + pid + " -n sh -c 'ip link set lo up" + addresses("ks-far", "2") +
                 "'") != 0) {
      return false;
    }
    listeners_[0] = Listen(0);
    listeners_[1] = Listen(far_.Pid());
    acceptor_ = std::jthread([this](std::stop_token stop) {
      pollfd watched[2] = {{listeners_[0], POLLIN, 0}, {listeners_[1], POLLIN, 0}};
      while (!stop.stop_requested()) {
        if (poll(watched, 2, 50) > 0) {
          for (const pollfd& one : watched) {
            if ((one.revents & POLLIN) != 0) {
              close(accept(one.fd, nullptr, nullptr));
            }
          }
        }
      }
    });
    return listeners_[0] >= 0 && listeners_[1] >= 0 &&
           PollUntil([] { return Reachable() == Everything(); }, 10s);
  }
  ~FarNetwork() {
    acceptor_ = {};
    close(listeners_[0]);
    close(listeners_[1]);
  }
  static std::string Everything() {
    std::string all;
    for (const std::string& address : kAddresses) {
      all += address + " ";
    }
    return all;
  }

 private:
  BackgroundProcess far_;
  int listeners_[2] = {-1, -1};
  std::jthread acceptor_;
};

// Runs `body` beside a far network in a namespace of its own; why not, when that cannot be.
std::string WithFarNetwork(const std::function<void()>& body) {
  std::string why_not;
  RunInNamespaceWithTun(
      [&] {
        FarNetwork network;
        if (platform::SystemWfpEngine()->OpenSession({}).code != platform::kWfpSuccess) {
          why_not = "no nf_tables";
        } else if (!network.Start()) {
          why_not = "the far network did not come up";
        } else {
          body();
        }
      },
      why_not);
  return why_not;
}

struct Settings {
  bool kill_switch;
  std::string server;
  std::vector<std::string> allowlist;
  bool allow_lan;
  bool ipv6_block;
  std::string reachable;  // empty: worked out by Permitted()

  std::string Permitted() const {
    std::string permitted;
    for (const std::string& address : kAddresses) {
      const bool v6 = address.find(':') != std::string::npos;
      const bool lan = address == kLan || address == "fd77::2";
      const bool listed = address == server || std::ranges::count(allowlist, address) > 0;
      const bool through =
          address == "127.0.0.1" || address == "::1" ||
          (!(v6 && ipv6_block) && (!kill_switch || (allow_lan && lan) || (!v6 && listed)));
      permitted += through ? address + " " : "";
    }
    return permitted;
  }
};

TEST(KernelKillSwitch, ExactlyThePermittedConnectionsGetThrough) {
  const std::string why_not = WithFarNetwork([&] {
    WfpManager manager(platform::SystemWfpEngine(), platform::SystemHostResolver());
    ASSERT_TRUE(manager.Initialize());
    std::vector<Settings> table = {
        {false, "", {}, false, false, FarNetwork::Everything()},
        {true, "", {}, false, false, "127.0.0.1 ::1 "},
        {true, kServer, {}, false, false, "127.0.0.1 ::1 203.0.113.2 "},
        {true, "", {kOther}, false, false, "127.0.0.1 ::1 198.51.100.2 "},
        {true, "", {}, true, false, "127.0.0.1 ::1 10.77.0.2 fd77::2 "},
        {false, "", {}, false, true, "127.0.0.1 ::1 203.0.113.2 198.51.100.2 10.77.0.2 "},
        {true, kServer, {kLan}, true, true, "127.0.0.1 ::1 203.0.113.2 10.77.0.2 "},
        {false, "", {}, false, false, FarNetwork::Everything()},
    };
    std::mt19937 random(20261207);
    const std::string candidates[] = {kServer, kOther, kLan};
    for (int round = 0; round < 6; ++round) {
      Settings settings{random() % 4 != 0, "", {}, random() % 2 == 0, random() % 3 == 0, ""};
      settings.server = random() % 2 == 0 ? candidates[random() % 3] : "";
      for (const std::string& candidate : candidates) {
        if (random() % 3 == 0) {
          settings.allowlist.push_back(candidate);
        }
      }
      table.push_back(settings);
    }
    for (const Settings& settings : table) {
      KillSwitchConfig config;
      config.vpn_server = settings.server;
      config.allowlist = settings.allowlist;
      config.allow_lan = settings.allow_lan;
      config.service_path = L"/proc/self/exe";  // this test is not the service
      ASSERT_TRUE(settings.kill_switch ? manager.EnableKillSwitch(config)
                                       : manager.DisableKillSwitch());
      ASSERT_TRUE(settings.ipv6_block ? manager.BlockIPv6() : manager.UnblockIPv6());
      EXPECT_EQ(Reachable(), settings.reachable.empty() ? settings.Permitted() : settings.reachable)
          << "server " << settings.server << ", " << settings.allowlist.size() << " allowed, lan "
          << settings.allow_lan << ", v6 block " << settings.ipv6_block;
    }
  });
  if (!why_not.empty()) {
    GTEST_SKIP() << "SKIPPED LOUDLY: needs root, namespaces and nf_tables: " << why_not;
  }
}

// The service switches it on "set_kill_switch"; it goes, with the service's children, when the
// service is killed. Without CAP_NET_ADMIN the service says it cannot have one.
TEST(KernelKillSwitch, TheServiceSwitchesItAndItGoesWhenTheServiceIsKilled) {
  const std::string why_not = WithFarNetwork([&] {
    const auto set = [](const char* enabled, const std::string& allowlist) {
      return std::string(R"({"cmd":"set_kill_switch","settings":{"enabled":)") + enabled +
             R"(,"allow_lan":false,"allowlist":[)" + allowlist + R"(]}})";
    };
    Service service;
    std::string why;
    ASSERT_TRUE(service.Start(true, {}, why)) << why;
    const std::pair<std::string, bool> steps[] = {{set("true", ""), false},
                                                  {set("true", "\"203.0.113.2\""), true},
                                                  {set("false", ""), true},
                                                  {set("true", ""), false}};
    for (const auto& [request, reachable] : steps) {
      EXPECT_EQ(service.Raw(request), R"({"success":true})");
      EXPECT_EQ(TcpConnect(kServer, kPort, 2s) == "connected", reachable) << request;
    }
    ASSERT_EQ(
        service.Raw(
            R"({"cmd":"start_relay_proxy","config":{"relay_domain":"127.0.0.1","local_port":10808}})"),
        R"({"success":true})");
    const std::vector<int> children = ChildrenOf(service.Pid());
    ASSERT_EQ(children.size(), 1U);
    ASSERT_EQ(::kill(service.Pid(), SIGKILL), 0);
    EXPECT_TRUE(PollUntil([] { return TcpConnect(kServer, kPort, 2s) == "connected"; }, 10s));
    EXPECT_TRUE(PollUntil([&] { return Ended(children.front()); })) << "the relay child lives on";

    Service unprivileged;
    ASSERT_TRUE(unprivileged.Start(true, {"setpriv", "--bounding-set", "-net_admin", "--"}, why))
        << why;
    EXPECT_NE(unprivileged.Log().find(
                  "WFP: FwpmProviderAdd: ACCESS_DENIED - requires administrator privileges\n"
                  "WFP: Kill switch will be disabled (not running as admin)\n"),
              std::string::npos)
        << unprivileged.Log();
    unprivileged.Raw(set("true", ""));
    EXPECT_EQ(unprivileged.Raw(R"({"cmd":"get_kill_switch_status"})"),
              R"({"data":{"enabled":false},"success":true})");
    EXPECT_EQ(TcpConnect(kServer, kPort, 2s), "connected");
  });
  if (!why_not.empty()) {
    GTEST_SKIP() << "SKIPPED LOUDLY: needs root, namespaces and nf_tables: " << why_not;
  }
}

}  // namespace
}  // namespace orvo_test
#endif
