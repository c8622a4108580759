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
#include <iterator>
#include <sstream>
#include <thread>

#include "integration/harness.h"
#include "killswitch/wfp_manager.h"
#include "platform/host_resolver.h"
#include "platform/posix/file_descriptor.h"
#include "platform/posix/linux_luid.h"
#include "support/case_file.h"
#include "support/network_namespace.h"
#include "support/poll.h"

namespace orvo_test {
namespace {

using namespace std::chrono_literals;
using namespace orvo_vpn_win_svc;

constexpr int kPort = 7777;
constexpr char kServer[] = "203.0.113.2";
const std::vector<std::string> kAddresses = {"127.0.0.1", "::1",         kServer,  "198.51.100.2",
                                             "10.77.0.2", "2001:db8::2", "fd77::2"};

// The addresses of `addresses` a connect reaches, in order; a blocked connect must be refused at
// once, never left to time out.
std::string Reachable(const std::vector<std::string>& addresses = kAddresses) {
  std::string reached;
  for (const std::string& address : addresses) {
    const std::string outcome = TcpConnect(address, kPort, 2s);
    const std::string seen = outcome == "connected" ? address
                             : outcome == "timeout" ? "(timeout)"
                                                    : "";
    reached += reached.empty() || seen.empty() ? seen : " " + seen;
  }
  return reached;
}

const std::string kEverything =
    "127.0.0.1 ::1 203.0.113.2 198.51.100.2 10.77.0.2 2001:db8::2 fd77::2";

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

// Every packet that reaches the far namespace, seen there by a packet socket: the judge of what
// leaves this one.
int far_capture = -1;
int probes_sent = 0;
// A container's network namespace, which this one forwards for and masquerades.
int container = -1;

// Runs `body` in the container's namespace.
void InContainer(const std::function<void()>& body) {
  std::thread([&] {
    if (setns(container, CLONE_NEWNET) == 0) {
      body();
    }
  }).join();
}

// Whether a datagram with `marker` in it has reached the far namespace; the packets seen on the
// way are used up.
bool Arrived(const std::string& marker) {
  return PollUntil(
      [&] {
        char packet[2048];
        for (ssize_t size; (size = recv(far_capture, packet, sizeof(packet), 0)) > 0;) {
          if (std::string_view(packet, static_cast<size_t>(size)).find(marker) !=
              std::string_view::npos) {
            return true;
          }
        }
        return false;
      },
      2s);
}

// Sends a datagram "KIND@ADDRESS" to the far side: "dhcp" from UDP port 68 to 67, "dhcpv6" from
// 546 to 547, "nd" a neighbour solicitation on a raw socket, "udp" from any port to port 9;
// multicast leaves by ks-near. Whether it reached the far namespace: a send refused here is
// known at once, a send that went out is looked for there.
bool SendFar(const std::string& probe) {
  const std::string kind = probe.substr(0, probe.find('@'));
  const std::string address = probe.substr(probe.find('@') + 1);
  const bool v6 = address.find(':') != std::string::npos;
  const uint16_t from_port = kind == "dhcp" ? 68 : kind == "dhcpv6" ? 546 : 0;
  const uint16_t to_port = kind == "dhcp" ? 67 : kind == "dhcpv6" ? 547 : kind == "nd" ? 0 : 9;
  const platform::FileDescriptor fd(
      kind == "nd" ? socket(AF_INET6, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMPV6)
                   : socket(v6 ? AF_INET6 : AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  const unsigned index = if_nametoindex("ks-near");
  const ip_mreqn group{{}, {}, static_cast<int>(index)};
  setsockopt(fd.Get(), IPPROTO_IPV6, IPV6_MULTICAST_IF, &index, sizeof(index));
  setsockopt(fd.Get(), IPPROTO_IP, IP_MULTICAST_IF, &group, sizeof(group));
  sockaddr_in6 from6{AF_INET6, htons(from_port), 0, {}, 0}, to6{AF_INET6, htons(to_port), 0, {}, 0};
  sockaddr_in from4{AF_INET, htons(from_port), {}, {}}, to4{AF_INET, htons(to_port), {}, {}};
  inet_pton(v6 ? AF_INET6 : AF_INET, address.c_str(),
            v6 ? static_cast<void*>(&to6.sin6_addr) : &to4.sin_addr);
  const auto* from = v6 ? reinterpret_cast<sockaddr*>(&from6) : reinterpret_cast<sockaddr*>(&from4);
  const auto* to = v6 ? reinterpret_cast<sockaddr*>(&to6) : reinterpret_cast<sockaddr*>(&to4);
  const socklen_t size = v6 ? sizeof(to6) : sizeof(to4);
  const std::string marker = "orvo-probe " + probe + " " + std::to_string(++probes_sent);
  std::string datagram = marker;
  if (kind == "nd") {  // type, code, checksum (the kernel's), reserved; the target; the marker
    datagram = std::string(1, static_cast<char>(ND_NEIGHBOR_SOLICIT)) + std::string(7, '\0') +
               std::string(reinterpret_cast<const char*>(&to6.sin6_addr), 16) + marker;
  }
  const bool sent = (kind == "nd" || bind(fd.Get(), from, size) == 0) &&
                    sendto(fd.Get(), datagram.data(), datagram.size(), 0, to, size) ==
                        static_cast<ssize_t>(datagram.size());
  return sent && Arrived(marker);
}

// Commands that give `link` the address ending in `last` on each network of kAddresses, and
// raise it.
std::string Addresses(const std::string& link, const std::string& last) {
  return " && for n in 203.0.113. 198.51.100. 10.77.0.; do ip addr add ${n}" + last + "/24 dev " +
         link + "; done && for n in 2001:db8:: fd77::; do ip -6 addr add ${n}" + last + "/64 dev " +
         link + " nodad; done && ip link set " + link + " up";
}

// Runs `body` in a namespace of its own joined by a veth pair to a far one that listens on every
// address of kAddresses but loopback, which has a listener here; why not, when that cannot be.
// The far side also has 192.0.2.9, which this side routes into "ks-tun", a stand-in for the
// tunnel that drops what it is given: a connect to it that succeeds went elsewhere.
std::string WithFarNetwork(const std::function<void()>& body) {
  std::string why_not = "no namespace";
  RunInNamespaceWithTun(
      [&] {
        const std::string near = std::to_string(gettid());
        int far = -1;
        std::thread([&] {  // the far namespace lives on with its listener
          if (unshare(CLONE_NEWNET) == 0 &&
              RunShell(
                  "ip link set lo up && ip link add ks-far type veth peer name ks-near netns " +
                  near + Addresses("ks-far", "2") +
                  " && ip addr add 192.0.2.9/32 dev ks-far"
                  " && ip route add 10.99.0.0/24 via 203.0.113.1") == 0) {
            far = Listener();
            far_capture =
                socket(AF_PACKET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, htons(ETH_P_ALL));
          }
        })
            .join();
        std::thread([&] {
          if (unshare(CLONE_NEWNET) == 0 &&
              RunShell("ip link set lo up && ip link add ks-ctr type veth peer name ks-bridge "
                       "netns " +
                       near +
                       " && ip addr add 172.30.0.2/24 dev ks-ctr && ip link set ks-ctr up && "
                       "ip route add default via 172.30.0.1") == 0) {
            container = open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
          }
        }).join();
        const int here = Listener();
        // Whether the kernel has nf_tables is asked of the kernel through Debian's nft, not of
        // our own session, whose faults must fail the test rather than skip it.
        int nft = 0;
        const std::string nft_said = ShellOutput(
            "nft add table inet orvo_probe 2>&1 && nft delete table inet orvo_probe 2>&1", &nft);
        if (nft != 0) {
          why_not = "no nf_tables (nft: " + nft_said + ")";
        } else if (far < 0 || here < 0 || far_capture < 0 || container < 0 ||
                   RunShell("ip tuntap add dev ks-tun mode tun && ip addr add 10.99.0.1/24 dev "
                            "ks-tun && ip link set ks-tun up && ip route add 192.0.2.0/24 dev "
                            "ks-tun && "
                            "ip addr add 172.30.0.1/24 dev ks-bridge && ip link set ks-bridge up "
                            "&& sysctl -qw net.ipv4.ip_forward=1 && nft add table ip ctrnat '{ "
                            "chain post { type nat hook postrouting priority srcnat; oifname "
                            "\"ks-near\" masquerade; }; }'" +
                            Addresses("ks-near", "1")) != 0 ||
                   !PollUntil([] { return Reachable() == kEverything; }, 10s)) {
          why_not = "the far network did not come up";
        } else {
          why_not.clear();
          body();
        }
        close(far);
        close(here);
        close(std::exchange(far_capture, -1));
        close(std::exchange(container, -1));
      },
      why_not);
  return why_not;
}

// The cases of tests/golden/integration/kill_switch.txt, one after the other on one manager.
TEST(KernelKillSwitch, ExactlyThePermittedConnectionsGetThrough) {
  const std::string why_not = WithFarNetwork([&] {
    WfpManager manager(platform::SystemWfpEngine(), platform::SystemHostResolver());
    ASSERT_TRUE(manager.Initialize());
    for (const TextCase& c : ReadCases("integration/kill_switch.txt")) {
      KillSwitchConfig config;
      config.service_path = L"/proc/self/exe";  // this test is not the service
      bool on = false;
      bool block_ipv6 = false;
      std::istringstream words(c["settings"]);
      for (std::string word; words >> word;) {
        on = on || word == "on";
        block_ipv6 = block_ipv6 || word == "v6";
        config.allow_lan = config.allow_lan || word == "lan";
        if (word.starts_with("server=")) config.vpn_server = word.substr(7);
        if (word.starts_with("allow=")) config.allowlist.push_back(word.substr(6));
        if (word == "tunnel") {
          config.tunnel_luid =
              platform::LuidFromInterfaceIndex(static_cast<int>(if_nametoindex("ks-tun")));
        }
      }
      ASSERT_EQ(RunShell(c.Has("other") ? c["other"] : "true"), 0) << c.name;
      ASSERT_TRUE(on ? manager.EnableKillSwitch(config) : manager.DisableKillSwitch());
      ASSERT_TRUE(block_ipv6 ? manager.BlockIPv6() : manager.UnblockIPv6());
      std::istringstream tried(c["try"]);
      const std::vector<std::string> addresses{std::istream_iterator<std::string>(tried), {}};
      std::string reached;
      std::string arrived;
      const auto judge = [&] {
        reached = Reachable(addresses.empty() ? kAddresses : addresses);
        std::istringstream probes(c["send"]);
        for (std::string probe; probes >> probe;) {
          arrived += SendFar(probe) ? (arrived.empty() ? "" : " ") + probe : "";
        }
      };
      c["from"] == "container" ? InContainer(judge) : judge();
      if (c.Has("reach")) {
        EXPECT_EQ(reached, c["reach"]) << c.name;
      }
      EXPECT_EQ(arrived, c["arrive"]) << c.name;
      RunShell(
          "nft delete table ip other 2>/dev/null; ip rule del fwmark 0x77 2>/dev/null;"
          " ip route flush table 77 2>/dev/null");
    }
  });
  if (!why_not.empty()) {
    GTEST_SKIP() << "SKIPPED LOUDLY: needs root, namespaces and nf_tables: " << why_not;
  }
}

// Filters of equal precedence are unordered on Windows; here a block among them comes first,
// whichever was added first, so filters that rely on an order nobody promised fail closed.
TEST(KernelKillSwitch, AmongFiltersOfEqualPrecedenceABlockDecides) {
  using platform::WfpAction;
  const std::string why_not = WithFarNetwork([&] {
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
    // A Hysteria2 tunnel blocks IPv6 while it is up, and no longer once it is disconnected.
    EXPECT_EQ(TcpConnect("2001:db8::2", kPort, 2s), "connected");
    ASSERT_EQ(service.Raw(R"({"cmd":"connect","config":{"server_ip":"198.51.100.7"}})"),
              R"({"error":"","success":true})");
    EXPECT_EQ(TcpConnect("2001:db8::2", kPort, 2s), "refused");
    ASSERT_EQ(service.Raw("disconnect"), "ok");
    EXPECT_EQ(TcpConnect("2001:db8::2", kPort, 2s), "connected");
    // With the kill switch on, the tunnel's server is permitted while the tunnel is up only.
    EXPECT_EQ(service.Raw(set("true", "")), R"({"success":true})");
    ASSERT_EQ(service.Raw(R"({"cmd":"connect","config":{"server_ip":"203.0.113.2"}})"),
              R"({"error":"","success":true})");
    EXPECT_EQ(TcpConnect(kServer, kPort, 2s), "connected");
    ASSERT_EQ(service.Raw("disconnect"), "ok");
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
