// The kill switch on the kernel's nftables: real TCP connects and datagrams from this ordinary
// process (or from a container this namespace forwards for) across a veth pair to a far
// namespace, whose listeners and packet capture judge them against what the settings permit.
#if defined(__linux__)
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sched.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <arpa/inet.h>
#include <linux/if_ether.h>
#include <net/if.h>
#include <netinet/icmp6.h>

#include <functional>
#include <sstream>
#include <thread>

#include "integration/harness.h"
#include "killswitch/wfp_manager.h"
#include "platform/host_resolver.h"
#include "platform/posix/file_descriptor.h"
#include "platform/posix/linux_luid.h"
#include "support/case_file.h"
#include "support/kill_switch_settings.h"
#include "support/network_namespace.h"
#include "support/poll.h"

namespace orvo_test {
namespace {

using namespace std::chrono_literals;
using namespace orvo_vpn_win_svc;

constexpr int kPort = 7777;
constexpr char kServer[] = "203.0.113.2";
// The far side listens on each address but loopback, which has a listener on this side.
const std::string kEverything =
    "127.0.0.1 ::1 203.0.113.2 198.51.100.2 10.77.0.2 2001:db8::2 fd77::2";

// The addresses of `addresses` (blank-separated) a connect reaches, in order; a blocked connect
// must be refused at once, never left to time out.
std::string Reachable(const std::string& addresses = kEverything) {
  std::istringstream tried(addresses);
  std::string reached;
  for (std::string address; tried >> address;) {
    const std::string outcome = TcpConnect(address, kPort, 2s);
    if (outcome != "refused") {
      reached += (reached.empty() ? "" : " ") + (outcome == "connected" ? address : "(timeout)");
    }
  }
  return reached;
}

// A listener on [::]:kPort (IPv4 too). Nothing accepts: the kernel completes the connects the
// backlog holds, which is more than a test makes.
int Listener() {
  const int listener = socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const int no = 0;
  setsockopt(listener, IPPROTO_IPV6, IPV6_V6ONLY, &no, sizeof(no));
  sockaddr_in6 any{AF_INET6, htons(kPort), 0, {}, 0};
  return bind(listener, reinterpret_cast<sockaddr*>(&any), sizeof(any)) == 0 &&
                 listen(listener, 4096) == 0
             ? listener
             : -1;
}

// Runs `body` in the network namespace `ns` (a descriptor), on a thread of its own.
void InNamespace(int ns, const std::function<void()>& body) {
  std::thread([&] {
    if (setns(ns, CLONE_NEWNET) == 0) {
      body();
    }
  }).join();
}

// A new network namespace, set up by the shell command `setup` run in it: its descriptor, or -1.
int NewNamespace(const std::string& setup) {
  int ns = -1;
  std::thread([&] {
    if (unshare(CLONE_NEWNET) == 0 && RunShell("ip link set lo up && " + setup) == 0) {
      ns = open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
    }
  }).join();
  return ns;
}

// Commands that give `link` the address ending in `last` on each network of kEverything, and
// raise it.
std::string Addresses(const std::string& link, const std::string& last) {
  return " && for n in 203.0.113. 198.51.100. 10.77.0.; do ip addr add ${n}" + last + "/24 dev " +
         link + "; done && for n in 2001:db8:: fd77::; do ip -6 addr add ${n}" + last + "/64 dev " +
         link + " nodad; done && ip link set " + link + " up";
}

// The test runs in a namespace of its own ("near"), joined by a veth pair to a far one, and by
// another to a container's, which it forwards for and masquerades, as container runtimes set it
// up. The far side also has 192.0.2.9, which this side routes into "ks-tun", a stand-in for the
// tunnel that drops what it is given: a connect to it that succeeds went elsewhere. Every packet
// that reaches the far namespace is seen there by a packet socket: the judge of what leaves.
class KernelKillSwitch : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    host_ = open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
    if (unshare(CLONE_NEWNET) != 0 || RunShell("ip link set lo up") != 0) {
      why_not_ = "no network namespace of our own (needs root)";
      return;
    }
    const std::string near = std::to_string(gettid());
    far_ = NewNamespace("ip link add ks-far type veth peer name ks-near netns " + near +
                        Addresses("ks-far", "2") + " && ip addr add 192.0.2.9/32 dev ks-far" +
                        " && ip route add 10.99.0.0/24 via 203.0.113.1");
    InNamespace(far_, [] {
      far_listener_ = Listener();
      far_capture_ = socket(AF_PACKET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, htons(ETH_P_ALL));
    });
    container_ = NewNamespace(
        "ip link add ks-ctr type veth peer name ks-bridge netns " + near +
        " && ip addr add 172.30.0.2/24 dev ks-ctr && ip link set ks-ctr up"
        " && ip route add default via 172.30.0.1");
    near_listener_ = Listener();
    // Whether the kernel has nf_tables is asked of the kernel through Debian's nft, not of our
    // own session, whose faults must fail the test rather than skip it.
    int nft = 0;
    const std::string nft_said = ShellOutput(
        "nft add table inet orvo_probe 2>&1 && nft delete table inet orvo_probe 2>&1", &nft);
    if (nft != 0) {
      why_not_ = "no nf_tables (nft: " + nft_said + ")";
    } else if (far_capture_ < 0 || far_listener_ < 0 || near_listener_ < 0 || container_ < 0 ||
               RunShell("ip tuntap add dev ks-tun mode tun && ip addr add 10.99.0.1/24 dev ks-tun"
                        " && ip link set ks-tun up && ip route add 192.0.2.0/24 dev ks-tun"
                        " && ip addr add 172.30.0.1/24 dev ks-bridge && ip link set ks-bridge up"
                        " && sysctl -qw net.ipv4.ip_forward=1 && nft add table ip ctrnat '{ chain"
                        " post { type nat hook postrouting priority srcnat; oifname \"ks-near\""
                        " masquerade; }; }'" +
                        Addresses("ks-near", "1")) != 0 ||
               !PollUntil([] { return Reachable() == kEverything; }, 10s)) {
      why_not_ = "the far network (veth pairs, /dev/net/tun) did not come up";
    }
  }

  // Back to the host's namespace: this one goes with the last descriptor to it.
  static void TearDownTestSuite() {
    for (int* fd : {&far_, &container_, &far_listener_, &far_capture_, &near_listener_}) {
      close(std::exchange(*fd, -1));
    }
    setns(host_, CLONE_NEWNET);
    close(host_);
  }

  void SetUp() override {
    if (!why_not_.empty()) {
      GTEST_SKIP() << "SKIPPED LOUDLY: needs root, namespaces and nf_tables: " << why_not_;
    }
  }

  // Whether a datagram with `marker` in it has reached the far namespace; the packets seen on
  // the way are used up.
  static bool Arrived(const std::string& marker) {
    return PollUntil(
        [&] {
          char packet[2048];
          for (ssize_t size; (size = recv(far_capture_, packet, sizeof(packet), 0)) > 0;) {
            if (std::string_view(packet, static_cast<size_t>(size)).find(marker) != std::string_view::npos) {
              return true;
            }
          }
          return false;
        },
        2s);
  }

  // Sends a datagram "KIND@ADDRESS" to the far side: "dhcp" from UDP port 68 to 67, "dhcpv6"
  // from 546 to 547, "nd" a neighbour solicitation on a raw socket, "udp" from any port to port
  // 9; IPv4 from a dual-stack socket to the mapped address, multicast by ks-near. Whether it
  // reached the far namespace: a send refused here is known at once, one that went out is
  // looked for there.
  static bool SendFar(const std::string& probe) {
    const std::string kind = probe.substr(0, probe.find('@'));
    std::string address = probe.substr(probe.find('@') + 1);
    address = address.find(':') == std::string::npos ? "::ffff:" + address : address;
    const uint16_t from_port = kind == "dhcp" ? 68 : kind == "dhcpv6" ? 546 : 0;
    const uint16_t to_port = kind == "dhcp" ? 67 : kind == "dhcpv6" ? 547 : kind == "nd" ? 0 : 9;
    const platform::FileDescriptor fd(kind == "nd"
                                          ? socket(AF_INET6, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMPV6)
                                          : socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    const unsigned index = if_nametoindex("ks-near");
    const ip_mreqn group{{}, {}, static_cast<int>(index)};
    setsockopt(fd.Get(), IPPROTO_IPV6, IPV6_MULTICAST_IF, &index, sizeof(index));
    setsockopt(fd.Get(), IPPROTO_IP, IP_MULTICAST_IF, &group, sizeof(group));
    sockaddr_in6 from{AF_INET6, htons(from_port), 0, {}, 0}, to{AF_INET6, htons(to_port), 0, {}, 0};
    inet_pton(AF_INET6, address.c_str(), &to.sin6_addr);
    const std::string marker = "orvo-probe " + probe + " " + std::to_string(++probes_sent_);
    std::string datagram = marker;
    if (kind == "nd") {  // type, code, checksum (the kernel's), reserved; the target; the marker
      datagram = std::string(1, static_cast<char>(ND_NEIGHBOR_SOLICIT)) + std::string(7, '\0') +
                 std::string(reinterpret_cast<const char*>(&to.sin6_addr), 16) + marker;
    }
    const bool sent =
        (kind == "nd" || bind(fd.Get(), reinterpret_cast<sockaddr*>(&from), sizeof(from)) == 0) &&
        sendto(fd.Get(), datagram.data(), datagram.size(), 0, reinterpret_cast<sockaddr*>(&to),
               sizeof(to)) == static_cast<ssize_t>(datagram.size());
    return sent && Arrived(marker);
  }

  static inline std::string why_not_;
  static inline int host_ = -1, far_ = -1, container_ = -1;
  static inline int far_listener_ = -1, far_capture_ = -1, near_listener_ = -1;
  static inline int probes_sent_ = 0;
};

// The cases of tests/golden/integration/kill_switch.txt, one after the other on one manager.
TEST_F(KernelKillSwitch, ExactlyThePermittedConnectionsGetThrough) {
  WfpManager manager(platform::SystemWfpEngine(), platform::SystemHostResolver());
  ASSERT_TRUE(manager.Initialize());
  for (const TextCase& c : ReadCases("integration/kill_switch.txt")) {
    KillSwitchConfig config = KillSwitchSettings(c["settings"], [](const std::string& name) {
      return platform::LuidFromInterfaceIndex(static_cast<int>(if_nametoindex(name.c_str())));
    });
    config.service_path = L"/proc/self/exe";  // this test is not the service
    const auto said = [&](const std::string& word) {
      return (" " + c["settings"] + " ").find(" " + word + " ") != std::string::npos;
    };
    ASSERT_EQ(RunShell(c.Has("other") ? c["other"] : "true"), 0) << c.name;
    ASSERT_TRUE(said("on") ? manager.EnableKillSwitch(config) : manager.DisableKillSwitch());
    ASSERT_TRUE(said("v6") ? manager.BlockIPv6() : manager.UnblockIPv6());
    std::string reached;
    std::string arrived;
    const auto judge = [&] {
      reached = Reachable(c.Has("try") ? c["try"] : kEverything);
      std::istringstream probes(c["send"]);
      for (std::string probe; probes >> probe;) {
        arrived += SendFar(probe) ? (arrived.empty() ? "" : " ") + probe : "";
      }
    };
    c["from"] == "container" ? InNamespace(container_, judge) : judge();
    if (c.Has("reach")) {
      EXPECT_EQ(reached, c["reach"]) << c.name;
    }
    EXPECT_EQ(arrived, c["arrive"]) << c.name;
    RunShell(
        "nft delete table ip other 2>/dev/null; ip rule del fwmark 0x77 2>/dev/null;"
        " ip route flush table 77 2>/dev/null");
  }
}

// Filters of equal precedence are unordered on Windows; here a block among them comes first,
// whichever was added first, so filters that rely on an order nobody promised fail closed.
TEST_F(KernelKillSwitch, AmongFiltersOfEqualPrecedenceABlockDecides) {
  using platform::WfpAction;
  const platform::WfpSessionOpen open = platform::SystemWfpEngine()->OpenSession({});
  ASSERT_TRUE(open.session);
  const platform::WfpKey sublayer = WfpManager::kSublayerKey;
  ASSERT_EQ(open.session->AddSubLayer({sublayer, L"tie", L"", {}, 1}), platform::kWfpSuccess);
  const platform::WfpCondition server{platform::WfpField::kIpRemoteAddress,
                                      platform::WfpMatch::kEqual,
                                      platform::WfpV4AddressMask{0xCB007102, 0xFFFFFFFF}};
  for (const auto& [first, second] : {std::pair{WfpAction::kPermit, WfpAction::kBlock},
                                      std::pair{WfpAction::kBlock, WfpAction::kPermit}}) {
    std::vector<uint64_t> ids;
    for (const WfpAction action : {first, second}) {
      ids.push_back(open.session->AddFilter({L"tie", L"", platform::WfpLayer::kAleAuthConnectV4,
                                             sublayer, 10, action, {server}}).id);
    }
    EXPECT_EQ(TcpConnect(kServer, kPort, 2s), "refused");
    for (const uint64_t id : ids) {
      EXPECT_EQ(open.session->DeleteFilter(id), platform::kWfpSuccess);
    }
    EXPECT_EQ(TcpConnect(kServer, kPort, 2s), "connected");
  }
}

// The service switches it on "set_kill_switch"; it goes, with the service's children, when the
// service is killed. Without CAP_NET_ADMIN the service says it cannot have one.
TEST_F(KernelKillSwitch, TheServiceSwitchesItAndItGoesWhenTheServiceIsKilled) {
  const auto set = [](const char* enabled, const std::string& allowlist) {
    return std::string(R"({"cmd":"set_kill_switch","settings":{"enabled":)") + enabled +
           R"(,"allow_lan":false,"allowlist":[)" + allowlist + R"(]}})";
  };
  const std::string on = set("true", ""), connected = R"({"error":"","success":true})";
  const std::string success = R"({"success":true})";
  // A request, its reply, and what a connect to an address then does.
  const std::tuple<std::string, std::string, std::string, std::string> steps[] = {
      // A Hysteria2 tunnel blocks IPv6 while it is up, and no longer once it is disconnected.
      {R"({"cmd":"connect","config":{"server_ip":"198.51.100.7"}})", connected, "2001:db8::2",
       "refused"},
      {"disconnect", "ok", "2001:db8::2", "connected"},
      // With the kill switch on, the tunnel's server is permitted while the tunnel is up only.
      {on, success, kServer, "refused"},
      {R"({"cmd":"connect","config":{"server_ip":"203.0.113.2"}})", connected, kServer, "connected"},
      {"disconnect", "ok", kServer, "refused"},
      {set("true", "\"203.0.113.2\""), success, kServer, "connected"},
      {set("false", ""), success, kServer, "connected"},
      {on, success, kServer, "refused"},
  };
  Service service;
  std::string why;
  ASSERT_TRUE(service.Start(true, {}, why)) << why;
  for (const auto& [request, reply, address, outcome] : steps) {
    EXPECT_EQ(service.Raw(request), reply);
    EXPECT_EQ(TcpConnect(address, kPort, 2s), outcome) << request;
  }
  ASSERT_EQ(
      service.Raw(
          R"({"cmd":"start_relay_proxy","config":{"relay_domain":"127.0.0.1","local_port":10808}})"),
      success);
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
  unprivileged.Raw(on);
  EXPECT_EQ(unprivileged.Raw(R"({"cmd":"get_kill_switch_status"})"),
            R"({"data":{"enabled":false},"success":true})");
  EXPECT_EQ(TcpConnect(kServer, kPort, 2s), "connected");
}

}  // namespace
}  // namespace orvo_test
#endif
