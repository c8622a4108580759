// Leak tests through the engine's arbitration: random settings, random connections, and an
// independent statement of what the kill switch must let through.

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <set>

#include "fakes/fake_host_resolver.h"
#include "killswitch/wfp_manager.h"
#include "platform/in_memory_wfp_engine.h"
#include "platform/text_encoding.h"
#include "platform/wfp_filter_text.h"
#include "support/scratch_directory.h"

namespace {

using namespace orvo_vpn_win_svc;
using namespace orvo_vpn_win_svc::platform;

using Ipv6 = std::array<uint8_t, 16>;

std::string Ipv4Text(uint32_t address) {
  return std::to_string(address >> 24) + "." + std::to_string((address >> 16) & 0xFF) + "." +
         std::to_string((address >> 8) & 0xFF) + "." + std::to_string(address & 0xFF);
}

// What the kill switch must permit, stated apart from the rule set.
struct Expectation {
  bool kill_switch = false;
  bool ipv6_block = false;
  std::set<uint32_t> permitted_ipv4;     // server and allowlist, as addresses
  std::set<WfpByteBlob> permitted_apps;  // ids of the permitted and the tunnel's own executables
  std::optional<uint64_t> tunnel_luid;
  bool allow_lan = false;

  static bool InLan(const WfpConnection& c) {
    if (c.layer == WfpLayer::kAleAuthConnectV4) {
      const uint32_t a = c.remote_ipv4 >> 24;
      const uint32_t b = (c.remote_ipv4 >> 16) & 0xFF;
      return a == 10 || (a == 172 && b >= 16 && b <= 31) || (a == 192 && b == 168) ||
             (a == 169 && b == 254) || (a >= 224 && a <= 239) || c.remote_ipv4 == 0xFFFFFFFF;
    }
    const Ipv6& r = c.remote_ipv6;
    return (r[0] == 0xFE && (r[1] & 0xC0) == 0x80) || (r[0] & 0xFE) == 0xFC || r[0] == 0xFF;
  }

  bool Permits(const WfpConnection& c) const {
    const bool v6 = c.layer == WfpLayer::kAleAuthConnectV6;
    if (v6 && ipv6_block) {
      return c.loopback;  // the IPv6 block leaves loopback alone and nothing else
    }
    if (!kill_switch) {
      return true;
    }
    const bool dhcp = !v6 && c.protocol == 17 && c.local_port == 68 && c.remote_port == 67;
    const bool dhcpv6 = v6 && c.protocol == 17 && c.local_port == 546 && c.remote_port == 547;
    const bool neighbour_discovery =
        v6 && c.protocol == 58 && c.local_port >= 133 && c.local_port <= 137;
    return c.loopback || (tunnel_luid && c.local_interface == *tunnel_luid) ||
           permitted_apps.contains(c.app_id) || (!v6 && permitted_ipv4.contains(c.remote_ipv4)) ||
           dhcp || dhcpv6 || neighbour_discovery || (allow_lan && InLan(c));
  }
};

class LeakTest : public ::testing::Test {
 protected:
  LeakTest()
      : memory_(std::make_shared<InMemoryWfpEngine>()),
        resolver_(std::make_shared<orvo_test::FakeHostResolver>()),
        manager_(memory_, resolver_) {
    for (const char* name : {"a.exe", "b.exe", "c.exe", "d.exe"}) {
      files_.push_back(scratch_.AddFile(name));
    }
  }

  uint32_t RandomIpv4() { return static_cast<uint32_t>(random_()); }

  template <typename T>
  const T& Pick(const std::vector<T>& items) {
    return items[std::uniform_int_distribution<size_t>(0, items.size() - 1)(random_)];
  }

  bool Chance(double p) { return std::bernoulli_distribution(p)(random_); }

  // Random settings, with the expectation they imply.
  KillSwitchConfig RandomConfig(Expectation& expect, int round) {
    KillSwitchConfig config;
    expect.permitted_ipv4.clear();
    expect.permitted_apps.clear();
    const int server = std::uniform_int_distribution<int>(0, 2)(random_);
    if (server == 1) {
      const uint32_t address = RandomIpv4();
      config.vpn_server = Ipv4Text(address);
      expect.permitted_ipv4.insert(address);
    } else if (server == 2) {
      config.vpn_server = "vpn.example";  // not a literal: no permit
    }
    for (int n = std::uniform_int_distribution<int>(0, 3)(random_); n > 0; --n) {
      const int kind = std::uniform_int_distribution<int>(0, 2)(random_);
      if (kind == 0) {
        const uint32_t address =
            Chance(0.3) ? 0x0A000000 | (RandomIpv4() & 0xFFFFFF) : RandomIpv4();
        config.allowlist.push_back(Ipv4Text(address));
        expect.permitted_ipv4.insert(address);
      } else if (kind == 1) {
        const std::string name =
            "host" + std::to_string(round) + "-" + std::to_string(n) + ".example";
        std::vector<std::string> answers;
        for (int k = std::uniform_int_distribution<int>(1, 3)(random_); k > 0; --k) {
          const uint32_t address = RandomIpv4();
          answers.push_back(Ipv4Text(address));
          expect.permitted_ipv4.insert(address);
        }
        resolver_->Answer(name, answers);
        config.allowlist.push_back(name);
      } else {
        config.allowlist.push_back("unresolvable.example");
      }
    }
    for (int n = std::uniform_int_distribution<int>(0, 2)(random_); n > 0; --n) {
      if (Chance(0.25)) {
        config.permitted_apps.push_back(Pick(files_) + L".missing");
      } else {
        config.permitted_apps.push_back(Pick(files_));
        expect.permitted_apps.insert(
            memory_->GetAppIdFromFileName(config.permitted_apps.back()).blob);
      }
    }
    for (std::wstring* own : {&config.service_path, &config.singbox_path}) {
      if (Chance(0.6)) {
        *own = Pick(files_);
        expect.permitted_apps.insert(memory_->GetAppIdFromFileName(*own).blob);
      }
    }
    config.allow_lan = Chance(0.5);
    if (Chance(0.5)) {
      config.tunnel_luid = random_();
    }
    expect.allow_lan = config.allow_lan;
    expect.tunnel_luid = config.tunnel_luid;
    return config;
  }

  WfpConnection RandomConnection(const KillSwitchConfig& config, const Expectation& expect) {
    WfpConnection c;
    c.layer = Chance(0.5) ? WfpLayer::kAleAuthConnectV4 : WfpLayer::kAleAuthConnectV6;
    // Destinations near every edge the rules draw, and anywhere.
    std::vector<uint32_t> v4 = {0x0A000001, 0x09FFFFFF,   0x0B000000,  0xAC0F0001, 0xAC100001,
                                0xAC1FFFFF, 0xAC200000,   0xC0A80101,  0xC0A90001, 0xA9FE0001,
                                0xA9FF0001, 0xE0000001,   0xEFFFFFFF,  0xF0000000, 0xFFFFFFFF,
                                0x7F000001, RandomIpv4(), RandomIpv4()};
    v4.insert(v4.end(), expect.permitted_ipv4.begin(), expect.permitted_ipv4.end());
    c.remote_ipv4 = Pick(v4);
    const std::vector<Ipv6> v6 = {
        {0xFE, 0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1},
        {0xFE, 0xBF, 0xFF, 0xFF, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1},
        {0xFE, 0xC0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1},
        {0xFE, 0x00, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1},
        {0xFC, 0x00, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1},
        {0xFD, 0xFE, 0xDC, 0xBA, 0x98, 0x76, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1},
        {0xFB, 0xFF, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1},
        {0xFF, 0x02, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x01, 0, 2},
        {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1},
        {0x20, 0x01, 0x0D, 0xB8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, static_cast<uint8_t>(random_())},
    };
    c.remote_ipv6 = Pick(v6);
    std::vector<WfpByteBlob> apps = {{}, {'x', 0, 0, 0}};
    for (const std::wstring& file : files_) {
      apps.push_back(memory_->GetAppIdFromFileName(file).blob);
    }
    c.app_id = Pick(apps);
    c.local_interface = config.tunnel_luid && Chance(0.3) ? *config.tunnel_luid : random_() % 16;
    c.loopback = Chance(0.15);
    struct Traffic {
      uint8_t protocol;
      uint16_t local_port;
      uint16_t remote_port;
    };
    const std::vector<Traffic> traffic = {
        {6, static_cast<uint16_t>(random_()), 443},
        {17, 68, 67},
        {17, 546, 547},
        {17, 67, 68},
        {17, 68, 547},
        {17, 546, 67},
        {6, 68, 67},
        {58, 133, 0},
        {58, 135, 0},
        {58, 137, 0},
        {58, 132, 0},
        {58, 138, 0},
        {58, 128, 0},
        {1, 8, 0},
        {17, static_cast<uint16_t>(random_()), 53},
    };
    const Traffic& t = Pick(traffic);
    c.protocol = t.protocol;
    c.local_port = t.local_port;
    c.remote_port = t.remote_port;
    return c;
  }

  static std::string Describe(const WfpConnection& c) {
    std::string text = "v4 " + Ipv4Text(c.remote_ipv4);
    if (c.layer == WfpLayer::kAleAuthConnectV6) {
      text = "v6 ";
      for (const uint8_t byte : c.remote_ipv6) {
        text += std::to_string(byte) + ".";
      }
    }
    text += " app_bytes=" + std::to_string(c.app_id.size()) +
            " if=" + std::to_string(c.local_interface) + (c.loopback ? " loopback" : "") +
            " proto=" + std::to_string(c.protocol) + " " + std::to_string(c.local_port) + "->" +
            std::to_string(c.remote_port);
    return text;
  }

  std::mt19937_64 random_{20240611};
  orvo_test::ScratchDirectory scratch_;
  std::vector<std::wstring> files_;
  std::shared_ptr<InMemoryWfpEngine> memory_;
  std::shared_ptr<orvo_test::FakeHostResolver> resolver_;
  WfpManager manager_;
};

// One manager lives through every round, so kill switches replace each other, the IPv6 block
// comes and goes, and the kill switch is now and then switched off.
TEST_F(LeakTest, PermittedExactlyWhenTheSettingsSaySo) {
  ASSERT_TRUE(manager_.Initialize());
  Expectation expect;
  int failures = 0;
  int permitted = 0;
  int checked = 0;
  for (int round = 0; round < 250 && failures < 5; ++round) {
    const KillSwitchConfig config = RandomConfig(expect, round);
    if (Chance(0.1)) {
      ASSERT_TRUE(manager_.DisableKillSwitch());
      expect.kill_switch = false;
    } else {
      ASSERT_TRUE(manager_.EnableKillSwitch(config));
      expect.kill_switch = true;
    }
    if (Chance(0.3)) {
      expect.ipv6_block = !expect.ipv6_block;
      ASSERT_TRUE(expect.ipv6_block ? manager_.BlockIPv6() : manager_.UnblockIPv6());
    }
    for (int n = 0; n < 200 && failures < 5; ++n) {
      const WfpConnection connection = RandomConnection(config, expect);
      const WfpVerdict verdict = memory_->Classify(connection, WfpManager::kSublayerKey);
      ++checked;
      permitted += verdict.permitted ? 1 : 0;
      if (verdict.tied || verdict.permitted != expect.Permits(connection)) {
        ++failures;
        ADD_FAILURE() << "round " << round << ": " << Describe(connection) << " permitted "
                      << verdict.permitted << (verdict.tied ? " (tied)" : "") << ", expected "
                      << expect.Permits(connection) << "\nkill switch " << expect.kill_switch
                      << ", IPv6 block " << expect.ipv6_block << ", lan " << config.allow_lan
                      << "\ninstalled:\n"
                      << [&] {
                           std::string text;
                           for (const WfpFilterEntry& e : memory_->CommittedFilters()) {
                             text += DescribeWfpFilter(e.filter) + "\n";
                           }
                           return text;
                         }();
      }
    }
  }
  // Both outcomes must be common, or the generator tests nothing.
  EXPECT_GT(permitted, checked / 5);
  EXPECT_LT(permitted, checked * 4 / 5);
}

}  // namespace
