#include "killswitch/wfp_manager.h"

#include <gtest/gtest.h>

#include "fakes/fake_host_resolver.h"
#include "fakes/fault_injecting_wfp_engine.h"
#include "fakes/in_memory_wfp_engine.h"
#include "platform/log_capture.h"
#include "platform/text_encoding.h"
#include "platform/wfp_filter_text.h"
#include "support/scratch_directory.h"

namespace {

using namespace orvo_vpn_win_svc;
using namespace orvo_vpn_win_svc::platform;
using namespace orvo_test;

constexpr uint32_t kInvalidParameter = 0x80320035;  // FWP_E_INVALID_PARAMETER

const char kInitializedLog[] =
    "WFP: Initializing...\n"
    "WFP: Provider registered\n"
    "WFP: Sublayer registered\n"
    "WFP: Initialized successfully\n";

const char kNotInitialized[] = "WfpManager not initialized (requires administrator privileges)";

// A manager on an in-memory engine seen through a fault-injecting fake.
struct Harness {
  explicit Harness(bool administrator = true)
      : memory(std::make_shared<InMemoryWfpEngine>(administrator)),
        engine(std::make_shared<orvo_test::FaultInjectingWfpEngine>(memory)),
        resolver(std::make_shared<orvo_test::FakeHostResolver>()),
        manager(std::make_unique<WfpManager>(engine, resolver)) {}

  // The committed filters of the service's sublayer, one line each, in the order added.
  std::string Installed() const {
    std::string text;
    for (const WfpFilterEntry& entry : memory->CommittedFilters()) {
      if (entry.filter.sublayer == WfpManager::kSublayerKey) {
        text += DescribeWfpFilter(entry.filter) + "\n";
      }
    }
    return text;
  }

  std::shared_ptr<InMemoryWfpEngine> memory;
  std::shared_ptr<orvo_test::FaultInjectingWfpEngine> engine;
  std::shared_ptr<orvo_test::FakeHostResolver> resolver;
  std::unique_ptr<WfpManager> manager;
};

std::string Code(uint32_t code) {
  return std::to_string(code);
}

TEST(WfpManagerInitialize, RegistersSessionProviderAndSublayerOnce) {
  Harness h;
  LogCapture log;
  ASSERT_TRUE(h.manager->Initialize());
  EXPECT_TRUE(h.manager->Initialize());
  EXPECT_EQ(log.StandardError(), kInitializedLog);
  EXPECT_EQ(
      h.engine->Calls(),
      "OpenSession \"ORVO VPN Session\" \"ORVO VPN Kill Switch Session\" dynamic wait=0 -> ok\n"
      "AddProvider {A1B2C3D4-E5F6-7890-ABCD-EF1234567890} \"ORVO VPN Kill Switch Provider\" "
      "\"Provides kill switch functionality for ORVO VPN\" -> ok\n"
      "AddSubLayer {12345678-90AB-CDEF-1234-567890ABCDEF} \"ORVO VPN Filters\" "
      "\"Kill switch filter sublayer\" provider={A1B2C3D4-E5F6-7890-ABCD-EF1234567890} "
      "weight=65535 -> ok\n");
  EXPECT_TRUE(h.memory->HasProvider(WfpManager::kProviderKey));
  EXPECT_TRUE(h.memory->HasSubLayer(WfpManager::kSublayerKey));
}

TEST(WfpManagerInitialize, ObjectsThatAlreadyExistCountAsRegistered) {
  Harness h;
  WfpSessionOpen other = h.memory->OpenSession({L"other", L"", false, 0});
  ASSERT_EQ(other.session->AddProvider({WfpManager::kProviderKey, L"p", L""}), kWfpSuccess);
  ASSERT_EQ(other.session->AddSubLayer(
                {WfpManager::kSublayerKey, L"s", L"", WfpManager::kProviderKey, 1}),
            kWfpSuccess);
  LogCapture log;
  EXPECT_TRUE(h.manager->Initialize());
  EXPECT_EQ(log.StandardError(), kInitializedLog);
}

// Each refusal leaves the manager uninitialised with its session closed, so every later
// operation fails with its "not initialized" text; a later Initialize may still succeed.
TEST(WfpManagerInitialize, FailureTable) {
  struct Case {
    const char* situation;
    bool administrator;
    const char* fault;
    uint32_t code;
    std::string last_error;
    std::string log;
  };
  const Case cases[] = {
      {"engine cannot be opened", true, "OpenSession", kRpcCannotSupport,
       "FwpmEngineOpen failed: 1764", "WFP: Initializing...\nWFP: FwpmEngineOpen failed: 1764\n"},
      {"provider add denied (not administrator)", false, "", 0,
       "FwpmProviderAdd: ACCESS_DENIED - requires administrator privileges",
       "WFP: Initializing...\n"
       "WFP: FwpmProviderAdd: ACCESS_DENIED - requires administrator privileges\n"
       "WFP: Kill switch will be disabled (not running as admin)\n"
       "WFP: Initialization failed (will continue without kill switch)\n"},
      {"provider add fails otherwise", true, "AddProvider", kInvalidParameter,
       "FwpmProviderAdd failed: " + Code(kInvalidParameter),
       "WFP: Initializing...\n"
       "WFP: FwpmProviderAdd failed: " +
           Code(kInvalidParameter) +
           "\n"
           "WFP: Initialization failed (will continue without kill switch)\n"},
      {"sublayer add fails", true, "AddSubLayer", kInvalidParameter,
       "FwpmSubLayerAdd failed: " + Code(kInvalidParameter),
       "WFP: Initializing...\n"
       "WFP: Provider registered\n"
       "WFP: FwpmSubLayerAdd failed: " +
           Code(kInvalidParameter) +
           "\n"
           "WFP: Sublayer registration failed\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.situation);
    Harness h(c.administrator);
    if (*c.fault != '\0') {
      h.engine->Fail(c.fault, c.code, 1);
    }
    LogCapture log;
    EXPECT_FALSE(h.manager->Initialize());
    EXPECT_EQ(h.manager->last_error(), c.last_error);
    EXPECT_EQ(log.StandardError(), c.log);
    EXPECT_EQ(h.memory->OpenSessionCount(), 0u);
    EXPECT_FALSE(h.memory->HasProvider(WfpManager::kProviderKey));

    log.Clear();
    EXPECT_FALSE(h.manager->EnableKillSwitch(KillSwitchConfig{}));
    EXPECT_EQ(h.manager->last_error(), kNotInitialized);
    EXPECT_FALSE(h.manager->BlockIPv6());
    EXPECT_EQ(h.manager->last_error(), "WfpManager not initialized");
    EXPECT_TRUE(h.manager->DisableKillSwitch());
    EXPECT_TRUE(h.manager->UnblockIPv6());
    EXPECT_FALSE(h.manager->IsKillSwitchEnabled());
    EXPECT_EQ(log.StandardError(),
              "WFP: Cannot enable kill switch - not initialized\n"
              "WFP: Cannot block IPv6 - not initialized\n");
    EXPECT_EQ(h.Installed(), "");

    EXPECT_EQ(h.manager->Initialize(), c.administrator) << "a failed Initialize may be retried";
  }
}

struct EnableFailure {
  const char* situation;
  const char* fault;
  uint32_t code;
  std::string last_error;
  std::string log_tail;
};

// A first enable that fails leaves nothing installed and the kill switch off.
TEST(WfpManagerEnable, FailureTable) {
  const EnableFailure cases[] = {
      {"transaction cannot begin", "BeginTransaction", kFwpErrorTimeout,
       "FwpmTransactionBegin failed: " + Code(kFwpErrorTimeout),
       "WFP: EnableKillSwitch called\n"
       "WFP: FwpmTransactionBegin failed: " +
           Code(kFwpErrorTimeout) + "\n"},
      {"IPv4 block-all filter fails", "\"ORVO: Block All (Kill Switch)\"", kInvalidParameter,
       "AddBlockAllFilter IPv4 failed: " + Code(kInvalidParameter),
       "WFP: Added permit filter for neighbour discovery (IPv6)\n"
       "WFP: AddBlockAllFilter failed: AddBlockAllFilter IPv4 failed: " +
           Code(kInvalidParameter) + "\n"},
      {"commit fails", "CommitTransaction", kFwpErrorTimeout,
       "FwpmTransactionCommit failed: " + Code(kFwpErrorTimeout),
       "WFP: Block-all filter added\n"
       "WFP: FwpmTransactionCommit failed: " +
           Code(kFwpErrorTimeout) + "\n"},
  };
  for (const EnableFailure& c : cases) {
    SCOPED_TRACE(c.situation);
    Harness h;
    ASSERT_TRUE(h.manager->Initialize());
    h.engine->Fail(c.fault, c.code);
    h.engine->ClearCalls();
    LogCapture log;
    KillSwitchConfig config;
    config.vpn_server = "203.0.113.7";
    EXPECT_FALSE(h.manager->EnableKillSwitch(config));
    EXPECT_EQ(h.manager->last_error(), c.last_error);
    const std::string text = log.StandardError();
    EXPECT_EQ(text.substr(text.size() - std::min(text.size(), c.log_tail.size())), c.log_tail);
    EXPECT_FALSE(h.manager->IsKillSwitchEnabled());
    EXPECT_EQ(h.Installed(), "");
    if (std::string(c.fault) != "BeginTransaction") {
      EXPECT_NE(h.engine->Calls().find("AbortTransaction -> ok\n"), std::string::npos)
          << h.engine->Calls();
    }
  }
}

TEST(WfpManagerEnable, BlockAllRollBackAbortsThenDeletesWhatWasAdded) {
  Harness h;
  ASSERT_TRUE(h.manager->Initialize());
  h.engine->Fail("\"ORVO: Block All (Kill Switch)\"", kInvalidParameter);
  h.engine->ClearCalls();
  EXPECT_FALSE(h.manager->EnableKillSwitch(KillSwitchConfig{}));
  const std::string calls = h.engine->Calls();
  const size_t abort = calls.find("AbortTransaction -> ok\n");
  ASSERT_NE(abort, std::string::npos);
  EXPECT_EQ(calls.substr(abort),
            "AbortTransaction -> ok\n"
            "DeleteFilter 65537 -> 0x80320003\n"
            "DeleteFilter 65538 -> 0x80320003\n"
            "DeleteFilter 65539 -> 0x80320003\n"
            "DeleteFilter 65540 -> 0x80320003\n"
            "DeleteFilter 65541 -> 0x80320003\n")
      << "the five always-on permits, gone with the transaction already";
}

TEST(WfpManagerEnable, LogsEveryStepAndCountsEveryFilter) {
  Harness h;
  orvo_test::ScratchDirectory scratch;
  const std::wstring app = scratch.AddFile("browser.exe");
  const std::wstring missing = app + L".missing";
  h.resolver->Answer("updates.example", {"192.0.2.1", "192.0.2.2"});
  ASSERT_TRUE(h.manager->Initialize());
  KillSwitchConfig config;
  config.vpn_server = "203.0.113.7";
  config.allowlist = {"198.51.100.20", "updates.example", "nowhere.example"};
  config.permitted_apps = {app, missing};
  LogCapture log;
  ASSERT_TRUE(h.manager->EnableKillSwitch(config));
  EXPECT_TRUE(h.manager->IsKillSwitchEnabled());
  EXPECT_EQ(log.StandardError(),
            "WFP: EnableKillSwitch called\n"
            "WFP: Allowlist IP: 198.51.100.20\n"
            "WFP: Resolved updates.example -> 192.0.2.1\n"
            "WFP: Resolved updates.example -> 192.0.2.2\n"
            "WFP: DNS resolution failed for nowhere.example: 11001\n"
            "WFP: Added permit filter for 203.0.113.7 (VPN Server)\n"
            "WFP: Added permit filter for 198.51.100.20 (Allowlist)\n"
            "WFP: Added permit filter for 192.0.2.1 (Allowlist)\n"
            "WFP: Added permit filter for 192.0.2.2 (Allowlist)\n"
            "WFP: Added permit filter for app: " +
                WideToUtf8(app) +
                "\n"
                "WFP: FwpmGetAppIdFromFileName failed: 0x00000002\n"
                "WFP: Warning - could not add app permit filter\n"
                "WFP: Added permit filter for loopback (IPv4)\n"
                "WFP: Added permit filter for loopback (IPv6)\n"
                "WFP: Added permit filter for DHCP client (IPv4)\n"
                "WFP: Added permit filter for DHCPv6 client (IPv6)\n"
                "WFP: Added permit filter for neighbour discovery (IPv6)\n"
                "WFP: Block-all filter added\n"
                "WFP: Kill switch ENABLED with 13 filters\n");
  EXPECT_EQ(h.resolver->Queries(), "resolve updates.example\nresolve nowhere.example\n");
  EXPECT_EQ(h.Installed(),
            DescribeKillSwitchPlan(PlanKillSwitch(
                {config.vpn_server, {}, {app}, false, std::nullopt, L"", L""},
                {"198.51.100.20", "192.0.2.1", "192.0.2.2"}, WfpManager::kSublayerKey)))
      << "what is installed is the plan, application ids bound";
}

TEST(WfpManagerEnable, FilterCounts) {
  orvo_test::ScratchDirectory scratch;
  const std::wstring app = scratch.AddFile("app.exe");
  const std::wstring service = scratch.AddFile("orvo-vpn-svc.exe");
  const std::wstring singbox = scratch.AddFile("sing-box.exe");
  struct Case {
    const char* what = "";
    KillSwitchConfig config;
    size_t filters = 0;
  };
  const Case cases[] = {
      {"empty: block-all, loopback, DHCP, DHCPv6, neighbour discovery", {}, 7},
      {"one literal in the allowlist", {"", {"10.0.0.1"}, {}, false, {}, L"", L""}, 8},
      {"a name that resolves to three addresses",
       {"", {"three.example"}, {}, false, {}, L"", L""},
       10},
      {"a name that does not resolve", {"", {"nowhere.example"}, {}, false, {}, L"", L""}, 7},
      {"a server literal", {"203.0.113.7", {}, {}, false, {}, L"", L""}, 8},
      {"a server that is a host name", {"vpn.example", {}, {}, false, {}, L"", L""}, 7},
      {"one permitted application", {"", {}, {app}, false, {}, L"", L""}, 9},
      {"an application that does not exist", {"", {}, {app + L"x"}, false, {}, L"", L""}, 7},
      {"the tunnel's own processes", {"", {}, {}, false, {}, service, singbox}, 11},
      {"the tunnel interface", {"", {}, {}, false, 42, L"", L""}, 9},
      {"LAN allowed", {"", {}, {}, true, {}, L"", L""}, 16},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Harness h;
    h.resolver->Answer("three.example", {"192.0.2.1", "192.0.2.2", "192.0.2.3"});
    ASSERT_TRUE(h.manager->Initialize());
    LogCapture log;
    ASSERT_TRUE(h.manager->EnableKillSwitch(c.config));
    EXPECT_EQ(h.memory->CommittedFilters().size(), c.filters);
    const std::string count =
        "WFP: Kill switch ENABLED with " + std::to_string(c.filters) + " filters\n";
    const std::string text = log.StandardError();
    EXPECT_EQ(text.substr(text.size() - std::min(text.size(), count.size())), count);
  }
}

TEST(WfpManagerEnable, ServerThatIsAHostNameIsWarnedAboutAndLeftOut) {
  Harness h;
  ASSERT_TRUE(h.manager->Initialize());
  KillSwitchConfig config;
  config.vpn_server = "vpn.example";
  LogCapture log;
  ASSERT_TRUE(h.manager->EnableKillSwitch(config));
  EXPECT_NE(log.StandardError().find("WFP: EnableKillSwitch called\n"
                                     "WFP: Invalid IP address: vpn.example\n"
                                     "WFP: Warning - could not add VPN server permit filter\n"),
            std::string::npos);
  EXPECT_EQ(h.resolver->Queries(), "") << "the server is never resolved";
  EXPECT_EQ(h.Installed(),
            DescribeKillSwitchPlan(PlanKillSwitch({}, {}, WfpManager::kSublayerKey)));
}

TEST(WfpManagerEnable, PermitFailuresAreWarningsNotFailures) {
  Harness h;
  orvo_test::ScratchDirectory scratch;
  const std::wstring app = scratch.AddFile("app.exe");
  ASSERT_TRUE(h.manager->Initialize());
  h.engine->Fail("remote_address=203.0.113.7/32", kInvalidParameter);
  h.engine->Fail("remote_address=10.0.0.1/32", kInvalidParameter);
  h.engine->Fail("ALE_AUTH_CONNECT_V4 weight=15 PERMIT app_id", kInvalidParameter);
  h.engine->Fail("\"ORVO: Permit Loopback\"", kInvalidParameter, 1);
  h.engine->Fail("\"ORVO: Block All IPv6 (Kill Switch)\"", kInvalidParameter);
  KillSwitchConfig config;
  config.vpn_server = "203.0.113.7";
  config.allowlist = {"10.0.0.1"};
  config.permitted_apps = {app};
  LogCapture log;
  ASSERT_TRUE(h.manager->EnableKillSwitch(config));
  EXPECT_EQ(log.StandardError(),
            "WFP: EnableKillSwitch called\n"
            "WFP: Allowlist IP: 10.0.0.1\n"
            "WFP: AddPermitIpFilter failed for 203.0.113.7: 0x80320035\n"
            "WFP: Warning - could not add VPN server permit filter\n"
            "WFP: AddPermitIpFilter failed for 10.0.0.1: 0x80320035\n"
            "WFP: Warning - could not add allowlist filter for 10.0.0.1\n"
            "WFP: AddPermitApplicationFilter (IPv4) failed: 0x80320035\n"
            "WFP: Warning - could not add app permit filter\n"
            "WFP: Warning - could not add permit filter for loopback (IPv4): 0x80320035\n"
            "WFP: Added permit filter for loopback (IPv6)\n"
            "WFP: Added permit filter for DHCP client (IPv4)\n"
            "WFP: Added permit filter for DHCPv6 client (IPv6)\n"
            "WFP: Added permit filter for neighbour discovery (IPv6)\n"
            "WFP: Block-all filter added\n"
            "WFP: Kill switch ENABLED with 5 filters\n");
  EXPECT_EQ(
      h.Installed(),
      "ALE_AUTH_CONNECT_V6 weight=12 PERMIT flags all-set loopback \"ORVO: Permit Loopback\"\n"
      "ALE_AUTH_CONNECT_V4 weight=12 PERMIT protocol=17 local_port=68 remote_port=67 "
      "\"ORVO: Permit DHCP\"\n"
      "ALE_AUTH_CONNECT_V6 weight=12 PERMIT protocol=17 local_port=546 remote_port=547 "
      "\"ORVO: Permit DHCPv6\"\n"
      "ALE_AUTH_CONNECT_V6 weight=12 PERMIT protocol=58 local_port in 133-137 "
      "\"ORVO: Permit Neighbour Discovery\"\n"
      "ALE_AUTH_CONNECT_V4 weight=1 BLOCK \"ORVO: Block All (Kill Switch)\"\n");
}

TEST(WfpManagerEnable, EnablingTwiceLeavesOnlyTheSecondSet) {
  Harness h;
  ASSERT_TRUE(h.manager->Initialize());
  KillSwitchConfig first;
  first.vpn_server = "203.0.113.7";
  first.allow_lan = true;
  KillSwitchConfig second;
  second.allowlist = {"198.51.100.20"};
  second.tunnel_luid = 7;
  ASSERT_TRUE(h.manager->EnableKillSwitch(first));
  ASSERT_TRUE(h.manager->EnableKillSwitch(second));
  EXPECT_EQ(h.Installed(), DescribeKillSwitchPlan(PlanKillSwitch(second, {"198.51.100.20"},
                                                                 WfpManager::kSublayerKey)));
}

TEST(WfpManagerDisable, RemovesTheKillSwitchAndLogsOnlyWhenItWasOn) {
  Harness h;
  LogCapture log;
  EXPECT_TRUE(h.manager->DisableKillSwitch()) << "before initialisation";
  ASSERT_TRUE(h.manager->Initialize());
  log.Clear();
  EXPECT_TRUE(h.manager->DisableKillSwitch()) << "while off";
  EXPECT_EQ(log.StandardError(), "");
  ASSERT_TRUE(h.manager->EnableKillSwitch(KillSwitchConfig{}));
  ASSERT_TRUE(h.manager->BlockIPv6());
  log.Clear();
  EXPECT_TRUE(h.manager->DisableKillSwitch());
  EXPECT_FALSE(h.manager->IsKillSwitchEnabled());
  EXPECT_EQ(log.StandardError(), "WFP: Disabling kill switch...\nWFP: Kill switch disabled\n");
  EXPECT_EQ(h.Installed(),
            "ALE_AUTH_CONNECT_V6 weight=15 BLOCK flags none-set loopback "
            "\"ORVO: Block IPv6 (VPN Active)\"\n")
      << "the IPv6 block is independent of the kill switch";
}

TEST(WfpManagerDisable, AFilterThatCannotBeDeletedKeepsTheKillSwitchOnUntilRetried) {
  Harness h;
  ASSERT_TRUE(h.manager->Initialize());
  ASSERT_TRUE(h.manager->EnableKillSwitch(KillSwitchConfig{}));
  const uint64_t block_all = h.memory->CommittedFilters()[5].id;
  h.engine->Fail("DeleteFilter " + std::to_string(block_all), kErrorAccessDenied, 1);
  LogCapture log;
  EXPECT_FALSE(h.manager->DisableKillSwitch());
  EXPECT_EQ(h.manager->last_error(), "FwpmFilterDeleteById failed: 5");
  EXPECT_TRUE(h.manager->IsKillSwitchEnabled());
  EXPECT_EQ(h.Installed(),
            "ALE_AUTH_CONNECT_V4 weight=1 BLOCK \"ORVO: Block All (Kill Switch)\"\n");
  EXPECT_EQ(log.StandardError(),
            "WFP: Disabling kill switch...\nWFP: FwpmFilterDeleteById failed: 5\n");
  EXPECT_TRUE(h.manager->DisableKillSwitch());
  EXPECT_FALSE(h.manager->IsKillSwitchEnabled());
  EXPECT_EQ(h.Installed(), "");
}

TEST(WfpManagerIpv6, BlockingTwiceAddsOneFilterAndUnblockRemovesIt) {
  Harness h;
  ASSERT_TRUE(h.manager->Initialize());
  LogCapture log;
  ASSERT_TRUE(h.manager->BlockIPv6());
  ASSERT_TRUE(h.manager->BlockIPv6());
  const std::vector<WfpFilterEntry> filters = h.memory->CommittedFilters();
  ASSERT_EQ(filters.size(), 1u);
  EXPECT_EQ(DescribeWfpFilter(filters[0].filter),
            "ALE_AUTH_CONNECT_V6 weight=15 BLOCK flags none-set loopback "
            "\"ORVO: Block IPv6 (VPN Active)\"");
  EXPECT_EQ(filters[0].filter.description, L"Prevents IPv6 leak while VPN is connected");
  EXPECT_TRUE(h.manager->UnblockIPv6());
  EXPECT_TRUE(h.manager->UnblockIPv6());
  EXPECT_EQ(log.StandardError(),
            "WFP: Blocking IPv6 traffic...\n"
            "WFP: IPv6 traffic BLOCKED (filter_id=" +
                std::to_string(filters[0].id) +
                ")\n"
                "WFP: IPv6 already blocked\n"
                "WFP: Unblocking IPv6 traffic...\n"
                "WFP: IPv6 traffic UNBLOCKED\n");
  EXPECT_EQ(h.Installed(), "");
}

TEST(WfpManagerIpv6, BlockFailureIsReported) {
  Harness h;
  ASSERT_TRUE(h.manager->Initialize());
  h.engine->Fail("\"ORVO: Block IPv6 (VPN Active)\"", kInvalidParameter, 1);
  LogCapture log;
  EXPECT_FALSE(h.manager->BlockIPv6());
  EXPECT_EQ(h.manager->last_error(), "BlockIPv6 failed: " + Code(kInvalidParameter));
  EXPECT_EQ(log.StandardError(), "WFP: Blocking IPv6 traffic...\nWFP: BlockIPv6 failed: " +
                                     Code(kInvalidParameter) + "\n");
  EXPECT_TRUE(h.manager->UnblockIPv6());
  EXPECT_TRUE(h.manager->BlockIPv6()) << "not marked as blocked, so it can be tried again";
}

TEST(WfpManagerCleanUp, RemovesEverythingAndClosesTheSession) {
  Harness h;
  ASSERT_TRUE(h.manager->Initialize());
  ASSERT_TRUE(h.manager->EnableKillSwitch(KillSwitchConfig{}));
  ASSERT_TRUE(h.manager->BlockIPv6());
  std::string deletes;
  for (const WfpFilterEntry& entry : h.memory->CommittedFilters()) {
    deletes += "DeleteFilter " + std::to_string(entry.id) + " -> ok\n";
  }
  h.engine->ClearCalls();
  LogCapture log;
  h.manager.reset();
  EXPECT_EQ(log.StandardError(), "WFP: Cleaning up...\nWFP: Cleanup complete\n");
  EXPECT_EQ(h.engine->Calls(), deletes +
                                   "DeleteSubLayer {12345678-90AB-CDEF-1234-567890ABCDEF} -> ok\n"
                                   "DeleteProvider {A1B2C3D4-E5F6-7890-ABCD-EF1234567890} -> ok\n"
                                   "CloseSession -> ok\n");
  EXPECT_TRUE(h.memory->CommittedFilters().empty());
  EXPECT_FALSE(h.memory->HasSubLayer(WfpManager::kSublayerKey));
  EXPECT_FALSE(h.memory->HasProvider(WfpManager::kProviderKey));
  EXPECT_EQ(h.memory->OpenSessionCount(), 0u);
}

TEST(WfpManagerCleanUp, AnUninitialisedManagerLeavesQuietly) {
  Harness h(/*administrator=*/false);
  EXPECT_FALSE(h.manager->Initialize());
  LogCapture log;
  h.manager.reset();
  EXPECT_EQ(log.StandardError(), "");
}

}  // namespace
