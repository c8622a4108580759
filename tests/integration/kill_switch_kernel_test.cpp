// The kill switch on the Linux kernel's own filtering engine: real connections from this
// ordinary process (never the service's own process tree) across a veth pair to a listener in a
// second namespace, and the answer compared with what the settings permit. Linux only.

#if defined(__linux__)

#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/if_tun.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <arpa/inet.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <functional>
#include <random>
#include <thread>

#include "integration/service_requests.h"
#include "integration/service_under_test.h"
#include "killswitch/wfp_manager.h"
#include "platform/host_resolver.h"
#include "platform/posix/linux_luid.h"
#include "support/background_process.h"
#include "support/namespace_network.h"
#include "support/network_namespace.h"
#include "support/poll.h"
#include "support/tcp_probe.h"

namespace {

using namespace std::chrono_literals;
using namespace orvo_vpn_win_svc;

constexpr int kPort = 7777;
constexpr char kServer[] = "203.0.113.2";
constexpr char kOther[] = "198.51.100.2";
constexpr char kLan[] = "10.77.0.2";
constexpr char kIpv6[] = "2001:db8::2";
constexpr char kIpv6Lan[] = "fd77::2";
const char* const kAddresses[] = {"127.0.0.1", "::1", kServer, kOther, kLan, kIpv6, kIpv6Lan};

// A listening socket on [::]:kPort (IPv4 too) in the network namespace of `pid`, or this one.
int Listen(int pid) {
  int listener = -1;
  std::thread([&] {
    if (pid > 0) {
      const int ns = open(("/proc/" + std::to_string(pid) + "/ns/net").c_str(), O_RDONLY);
      if (ns < 0 || setns(ns, CLONE_NEWNET) != 0) {
        return;
      }
      close(ns);
    }
    listener = socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int no = 0, yes = 1;
    setsockopt(listener, IPPROTO_IPV6, IPV6_V6ONLY, &no, sizeof(no));
    setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof(yes));
    sockaddr_in6 any{};
    any.sin6_family = AF_INET6;
    any.sin6_port = htons(kPort);
    if (bind(listener, reinterpret_cast<sockaddr*>(&any), sizeof(any)) != 0 ||
        listen(listener, 512) != 0) {
      close(listener);
      listener = -1;
    }
  }).join();
  return listener;
}

// This namespace joined by a veth pair to a far one that holds the listener on every address
// of kAddresses but loopback; loopback has a listener here.
class FarNetwork {
 public:
  bool Start(std::string& why) {
    if (!far_.Start({"unshare", "-n", "sleep", "600"}) || !orvo_test::PollUntil([&] {
          return std::to_string(far_.Pid()) != "-1" &&
                 orvo_test::ShellOutput("readlink /proc/" + std::to_string(far_.Pid()) +
                                        "/ns/net") !=
                     orvo_test::ShellOutput("readlink /proc/self/ns/net");
        })) {
      why = "no far namespace";
      return false;
    }
    const std::string pid = std::to_string(far_.Pid());
    const auto addresses = [](const std::string& link, const char* last) {
      std::string commands;
      for (const char* network : {"203.0.113.", "198.51.100.", "10.77.0."}) {
        commands += " && ip addr add " + std::string(network) + last + "/24 dev " + link;
      }
      for (const char* network : {"2001:db8::", "fd77::"}) {
        commands +=
            " && ip -6 addr add " + std::string(network) + last + "/64 dev " + link + " nodad";
      }
      return commands + " && ip link set " + link + " up";
    };
    if (orvo_test::RunShell("ip link add ks-near type veth peer name ks-far netns " + pid +
                            addresses("ks-near", "1")) != 0 ||
        orvo_test::RunShell("nsenter -t " + pid + " -n sh -c 'ip link set lo up" +
                            addresses("ks-far", "2") + "'") != 0) {
      why = "the veth pair could not be set up";
      return false;
    }
    listeners_[0] = Listen(0);
    listeners_[1] = Listen(far_.Pid());
    if (listeners_[0] < 0 || listeners_[1] < 0) {
      why = "no listener";
      return false;
    }
    acceptor_ = std::thread([this] {
      pollfd watched[2] = {{listeners_[0], POLLIN, 0}, {listeners_[1], POLLIN, 0}};
      while (!stop_) {
        if (poll(watched, 2, 50) > 0) {
          for (const pollfd& one : watched) {
            if ((one.revents & POLLIN) != 0) {
              close(accept(one.fd, nullptr, nullptr));
            }
          }
        }
      }
    });
    return orvo_test::PollUntil([] { return Reachable(kIpv6) && Reachable(kServer); }, 10s) ||
           (why = "the far side does not answer", false);
  }

  ~FarNetwork() {
    stop_ = true;
    if (acceptor_.joinable()) {
      acceptor_.join();
    }
    for (const int listener : listeners_) {
      close(listener);
    }
  }

  static bool Reachable(const char* address) {
    return orvo_test::TryConnect(address, kPort, 2s) == orvo_test::ConnectOutcome::kConnected;
  }

 private:
  orvo_test::BackgroundProcess far_;
  int listeners_[2] = {-1, -1};
  std::atomic<bool> stop_{false};
  std::thread acceptor_;
};

// Runs `body` in a namespace of its own beside a FarNetwork; why not, when the machine has no
// namespaces or no nf_tables.
std::string WithFarNetwork(const std::function<void()>& body) {
  std::string why_not;
  const bool ran = orvo_test::RunInOwnNetworkNamespace(
      [&] {
        const platform::WfpSessionOpen probe = platform::SystemWfpEngine()->OpenSession({});
        FarNetwork network;
        if (probe.code != platform::kWfpSuccess) {
          why_not = "nf_tables is missing (engine open: " + std::to_string(probe.code) + ")";
        } else if (network.Start(why_not)) {
          body();
        }
      },
      why_not);
  return ran && why_not.empty() ? "" : why_not.empty() ? "?" : why_not;
}

#define ORVO_WITH_FAR_NETWORK_OR_SKIP(...)                                             \
  if (const std::string why_not = WithFarNetwork(__VA_ARGS__); !why_not.empty()) {     \
    GTEST_SKIP() << "SKIPPED LOUDLY: the kernel kill-switch test needs root, network " \
                    "namespaces and nf_tables: "                                       \
                 << why_not;                                                           \
  }

struct Settings {
  const char* what;
  bool kill_switch = false;
  std::string server;
  std::vector<std::string> allowlist;
  bool allow_lan = false;
  bool ipv6_block = false;

  // What must get through, stated apart from the rules.
  bool Permits(const std::string& address) const {
    if (address == "127.0.0.1" || address == "::1") {
      return true;
    }
    const bool v6 = address.find(':') != std::string::npos;
    if (v6 && ipv6_block) {
      return false;
    }
    if (!kill_switch) {
      return true;
    }
    const bool lan = address == kLan || address == kIpv6Lan;
    return (allow_lan && lan) ||
           (!v6 && (address == server ||
                    std::find(allowlist.begin(), allowlist.end(), address) != allowlist.end()));
  }
};

void Apply(WfpManager& manager, const Settings& settings) {
  KillSwitchConfig config;
  config.vpn_server = settings.server;
  config.allowlist = settings.allowlist;
  config.allow_lan = settings.allow_lan;
  config.service_path = L"/proc/self/exe";  // this test is not the service: no group of its own
  ASSERT_TRUE(settings.kill_switch ? manager.EnableKillSwitch(config)
                                   : manager.DisableKillSwitch());
  ASSERT_TRUE(settings.ipv6_block ? manager.BlockIPv6() : manager.UnblockIPv6());
}

void ExpectReachability(const Settings& settings) {
  for (const char* address : kAddresses) {
    const orvo_test::ConnectOutcome outcome = orvo_test::TryConnect(address, kPort, 2s);
    // A blocked connect is refused at once, never left to time out.
    EXPECT_EQ(outcome, settings.Permits(address) ? orvo_test::ConnectOutcome::kConnected
                                                 : orvo_test::ConnectOutcome::kRefused)
        << settings.what << ": " << address;
  }
}

TEST(KernelKillSwitch, ExactlyThePermittedConnectionsGetThrough) {
  ORVO_WITH_FAR_NETWORK_OR_SKIP([&] {
    WfpManager manager(platform::SystemWfpEngine(), platform::SystemHostResolver());
    ASSERT_TRUE(manager.Initialize());
    // What, kill switch, server, allowlist, LAN allowed, IPv6 block.
    const std::vector<Settings> table = {
        {"kill switch off", false, "", {}, false, false},
        {"kill switch on, no LAN", true, "", {}, false, false},
        {"server permitted", true, kServer, {}, false, false},
        {"allowlisted", true, "", {kOther}, false, false},
        {"LAN allowed", true, "", {}, true, false},
        {"IPv6 block alone", false, "", {}, false, true},
        {"kill switch and IPv6 block", true, kServer, {kLan}, true, true},
        {"switched off again", false, "", {}, false, false},
    };
    for (const Settings& settings : table) {
      Apply(manager, settings);
      ExpectReachability(settings);
    }
    // Random settings, a bounded number of them.
    std::mt19937 random(20261207);
    const std::vector<std::string> candidates = {kServer, kOther, kLan};
    for (int round = 0; round < 12; ++round) {
      Settings settings{"random", random() % 4 != 0, "", {}, random() % 2 == 0, random() % 3 == 0};
      settings.server = random() % 2 == 0 ? candidates[random() % 3] : "";
      for (const std::string& candidate : candidates) {
        if (random() % 3 == 0) {
          settings.allowlist.push_back(candidate);
        }
      }
      Apply(manager, settings);
      SCOPED_TRACE("server=" + settings.server +
                   " allowlist=" + std::to_string(settings.allowlist.size()) +
                   " lan=" + std::to_string(settings.allow_lan) +
                   " v6block=" + std::to_string(settings.ipv6_block));
      ExpectReachability(settings);
    }
  });
}

// The tunnel interface's permit lets traffic into a TUN device; without it the send is refused.
TEST(KernelKillSwitch, TheTunnelInterfacePermitLetsTrafficIntoTheTun) {
  ORVO_WITH_FAR_NETWORK_OR_SKIP([&] {
    const int tun = open("/dev/net/tun", O_RDWR | O_CLOEXEC);
    ifreq request{};
    request.ifr_flags = IFF_TUN | IFF_NO_PI;
    std::strncpy(request.ifr_name, "ks-tun", IFNAMSIZ - 1);
    ASSERT_EQ(ioctl(tun, TUNSETIFF, &request), 0);
    ASSERT_EQ(orvo_test::RunShell("ip link set ks-tun up && ip route add 192.0.2.0/24 dev ks-tun"),
              0);
    WfpManager manager(platform::SystemWfpEngine(), platform::SystemHostResolver());
    ASSERT_TRUE(manager.Initialize());
    KillSwitchConfig config;
    for (const bool permitted : {false, true}) {
      if (permitted) {
        config.tunnel_luid = platform::LuidFromInterfaceIndex(orvo_test::LinkIndex("ks-tun"));
      }
      ASSERT_TRUE(manager.EnableKillSwitch(config));
      const int udp = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
      sockaddr_in peer{};
      peer.sin_family = AF_INET;
      peer.sin_port = htons(9);
      inet_pton(AF_INET, "192.0.2.9", &peer.sin_addr);
      ASSERT_EQ(connect(udp, reinterpret_cast<sockaddr*>(&peer), sizeof(peer)), 0);
      EXPECT_EQ(send(udp, "orvo", 4, 0) == 4, permitted);
      pollfd watched{tun, POLLIN, 0};
      if (permitted) {
        EXPECT_EQ(poll(&watched, 1, 5000), 1) << "the datagram reached the TUN device";
      }
      close(udp);
    }
    close(tun);
  });
}

// While one kill switch replaces another, a sender that keeps trying an address neither
// permits never gets through.
TEST(KernelKillSwitch, ReplacementUnderLoadNeverLetsABlockedConnectionThrough) {
  ORVO_WITH_FAR_NETWORK_OR_SKIP([&] {
    WfpManager manager(platform::SystemWfpEngine(), platform::SystemHostResolver());
    ASSERT_TRUE(manager.Initialize());
    KillSwitchConfig first;
    first.allowlist = {kServer};
    KillSwitchConfig second;
    second.vpn_server = kLan;
    ASSERT_TRUE(manager.EnableKillSwitch(first));
    std::atomic<bool> stop{false};
    std::atomic<int> attempts{0}, through{0};
    std::thread sender([&] {
      while (!stop) {
        ++attempts;
        if (FarNetwork::Reachable(kOther)) {
          ++through;
        }
      }
    });
    for (int round = 0; round < 100; ++round) {
      ASSERT_TRUE(manager.EnableKillSwitch(round % 2 == 0 ? second : first));
    }
    stop = true;
    sender.join();
    EXPECT_GT(attempts.load(), 100);
    EXPECT_EQ(through.load(), 0);
    EXPECT_TRUE(FarNetwork::Reachable(kServer));
  });
}

// The service itself, driven through its socket: the kill switch follows "set_kill_switch", and
// goes with the service when it is killed. Without CAP_NET_ADMIN it says it cannot be had.
TEST(KernelKillSwitch, TheServiceSwitchesItAndItGoesWhenTheServiceIsKilled) {
  ORVO_WITH_FAR_NETWORK_OR_SKIP([&] {
    const auto set = [](bool enabled, const std::string& allowlist) {
      return std::string(R"({"cmd":"set_kill_switch","settings":{"enabled":)") +
             (enabled ? "true" : "false") + R"(,"allow_lan":false,"allowlist":[)" + allowlist +
             R"(],"permitted_apps":["/bin/sh"]}})";
    };
    orvo_test::ServiceUnderTest service;
    std::string why;
    ASSERT_TRUE(service.Start(orvo_test::ServiceUnderTest::Mode::kConsole, {}, why)) << why;
    const struct {
      std::string request;
      bool reachable;
    } steps[] = {{set(true, ""), false},
                 {set(true, std::string("\"") + kServer + "\""), true},
                 {set(false, ""), true},
                 {set(true, ""), false}};
    for (const auto& step : steps) {
      EXPECT_EQ(service.Raw(step.request).output, R"({"success":true})") << step.request;
      EXPECT_EQ(FarNetwork::Reachable(kServer), step.reachable) << step.request;
    }
    // Linux cannot match a path: the application's permit is left out, the kill switch is not.
    EXPECT_NE(service.Log().find("WFP: FwpmGetAppIdFromFileName failed: 0x00000032\n"
                                 "WFP: Warning - could not add app permit filter\n"),
              std::string::npos);
    ASSERT_TRUE(service.Signal(SIGKILL));
    EXPECT_TRUE(orvo_test::PollUntil([] { return FarNetwork::Reachable(kServer); }, 10s));

    orvo_test::ServiceUnderTest unprivileged;
    ASSERT_TRUE(unprivileged.Start(orvo_test::ServiceUnderTest::Mode::kConsole,
                                   {"setpriv", "--bounding-set", "-net_admin", "--"}, why))
        << why;
    EXPECT_NE(unprivileged.Log().find(
                  "WFP: FwpmProviderAdd: ACCESS_DENIED - requires administrator privileges\n"
                  "WFP: Kill switch will be disabled (not running as admin)\n"),
              std::string::npos)
        << unprivileged.Log();
    unprivileged.Raw(set(true, ""));
    EXPECT_EQ(unprivileged.Raw(orvo_test::service_requests::kKillSwitchStatus).output,
              orvo_test::service_requests::KillSwitchReply(false));
    EXPECT_TRUE(FarNetwork::Reachable(kServer));
  });
}

}  // namespace

#endif  // __linux__
