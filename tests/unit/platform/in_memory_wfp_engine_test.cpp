#include "platform/in_memory_wfp_engine.h"

#include <gtest/gtest.h>

#include "platform/wfp_filter_text.h"
#include "support/scratch_directory.h"

namespace {

using namespace orvo_vpn_win_svc::platform;

constexpr WfpKey kProvider = WfpKey::FromText("{0F000000-0000-0000-0000-000000000001}");
constexpr WfpKey kSublayer = WfpKey::FromText("{0F000000-0000-0000-0000-000000000002}");
constexpr WfpKey kOtherSublayer = WfpKey::FromText("{0F000000-0000-0000-0000-000000000003}");

std::unique_ptr<WfpSession> Open(InMemoryWfpEngine& engine, bool dynamic = true) {
  WfpSessionOpen opened = engine.OpenSession({L"test", L"", dynamic, 0});
  EXPECT_EQ(opened.code, kWfpSuccess);
  return std::move(opened.session);
}

void AddProviderAndSublayer(WfpSession& session, const WfpKey& sublayer = kSublayer) {
  const uint32_t provider = session.AddProvider({kProvider, L"provider", L""});
  ASSERT_TRUE(provider == kWfpSuccess || provider == kFwpErrorAlreadyExists);
  ASSERT_EQ(session.AddSubLayer({sublayer, L"sublayer", L"", kProvider, 0xFFFF}), kWfpSuccess);
}

WfpFilter Filter(WfpLayer layer, uint8_t weight, WfpAction action,
                 std::vector<WfpCondition> conditions = {}, const WfpKey& sublayer = kSublayer) {
  WfpFilter filter;
  filter.name = L"f";
  filter.layer = layer;
  filter.weight = weight;
  filter.action = action;
  filter.sublayer = sublayer;
  filter.conditions = std::move(conditions);
  return filter;
}

WfpCondition RemoteV4(uint32_t address, uint32_t mask) {
  return {WfpField::kIpRemoteAddress, WfpMatch::kEqual, WfpV4AddressMask{address, mask}};
}

WfpConnection V4To(uint32_t address) {
  WfpConnection connection;
  connection.remote_ipv4 = address;
  return connection;
}

constexpr auto kV4 = WfpLayer::kAleAuthConnectV4;
constexpr auto kV6 = WfpLayer::kAleAuthConnectV6;
constexpr auto kBlock = WfpAction::kBlock;
constexpr auto kPermit = WfpAction::kPermit;

TEST(InMemoryWfpEngine, DynamicSessionTakesItsObjectsAlongWhenItCloses) {
  InMemoryWfpEngine engine;
  auto keeper = Open(engine, /*dynamic=*/false);
  ASSERT_EQ(keeper->AddProvider({kProvider, L"provider", L""}), kWfpSuccess);
  {
    auto dynamic = Open(engine);
    ASSERT_EQ(dynamic->AddSubLayer({kSublayer, L"sublayer", L"", kProvider, 1}), kWfpSuccess);
    ASSERT_EQ(dynamic->AddFilter(Filter(kV4, 1, kBlock)).code, kWfpSuccess);
    EXPECT_EQ(engine.CommittedFilters().size(), 1u);
    EXPECT_EQ(engine.OpenSessionCount(), 2u);
  }
  EXPECT_TRUE(engine.CommittedFilters().empty());
  EXPECT_FALSE(engine.HasSubLayer(kSublayer));
  EXPECT_TRUE(engine.HasProvider(kProvider)) << "objects of a static session stay";
  EXPECT_EQ(engine.OpenSessionCount(), 1u);
}

TEST(InMemoryWfpEngine, TransactionShowsItsChangesOnlyAtCommitAndAbortDropsThem) {
  InMemoryWfpEngine engine;
  auto session = Open(engine);
  AddProviderAndSublayer(*session);
  const uint64_t old_id = session->AddFilter(Filter(kV4, 1, kBlock)).id;

  ASSERT_EQ(session->BeginTransaction(), kWfpSuccess);
  const WfpFilterAdd added = session->AddFilter(Filter(kV4, 5, kPermit));
  ASSERT_EQ(added.code, kWfpSuccess);
  ASSERT_EQ(session->DeleteFilter(old_id), kWfpSuccess);
  EXPECT_EQ(session->DeleteFilter(old_id), kFwpErrorFilterNotFound)
      << "the session sees its own view";
  ASSERT_EQ(engine.CommittedFilters().size(), 1u);
  EXPECT_EQ(engine.CommittedFilters()[0].id, old_id) << "nothing visible before commit";
  ASSERT_EQ(session->AbortTransaction(), kWfpSuccess);
  ASSERT_EQ(engine.CommittedFilters().size(), 1u);
  EXPECT_EQ(engine.CommittedFilters()[0].id, old_id) << "abort restores the old view";
  EXPECT_EQ(session->DeleteFilter(added.id), kFwpErrorFilterNotFound);

  ASSERT_EQ(session->BeginTransaction(), kWfpSuccess);
  const uint64_t new_id = session->AddFilter(Filter(kV4, 5, kPermit)).id;
  ASSERT_EQ(session->DeleteFilter(old_id), kWfpSuccess);
  ASSERT_EQ(session->CommitTransaction(), kWfpSuccess);
  ASSERT_EQ(engine.CommittedFilters().size(), 1u);
  EXPECT_EQ(engine.CommittedFilters()[0].id, new_id);
}

TEST(InMemoryWfpEngine, TransactionStateErrorsAndOtherSessionsWait) {
  InMemoryWfpEngine engine;
  auto first = Open(engine);
  auto second = Open(engine);
  AddProviderAndSublayer(*first);
  EXPECT_EQ(first->CommitTransaction(), kFwpErrorNoTransactionInProgress);
  EXPECT_EQ(first->AbortTransaction(), kFwpErrorNoTransactionInProgress);
  ASSERT_EQ(first->BeginTransaction(), kWfpSuccess);
  EXPECT_EQ(first->BeginTransaction(), kFwpErrorTransactionInProgress);
  EXPECT_EQ(second->BeginTransaction(), kFwpErrorTimeout);
  EXPECT_EQ(second->AddFilter(Filter(kV4, 1, kBlock)).code, kFwpErrorTimeout);
  first.reset();  // closing a session ends its transaction
  EXPECT_EQ(second->AddFilter(Filter(kV4, 1, kBlock)).code, kFwpErrorSubLayerNotFound)
      << "the first session's dynamic sublayer went with it";
}

TEST(InMemoryWfpEngine, RefusesWhatTheSystemRefuses) {
  InMemoryWfpEngine engine;
  auto session = Open(engine);
  AddProviderAndSublayer(*session);
  const uint64_t filter = session->AddFilter(Filter(kV4, 1, kBlock)).id;
  const WfpV6AddressPrefix v6_network{{0xFE, 0x80}, 10};
  struct Case {
    const char* what;
    uint32_t code;
    uint32_t expected;
  };
  const Case cases[] = {
      {"provider again", session->AddProvider({kProvider, L"p", L""}), kFwpErrorAlreadyExists},
      {"sublayer again", session->AddSubLayer({kSublayer, L"s", L"", kProvider, 1}),
       kFwpErrorAlreadyExists},
      {"sublayer of an unknown provider",
       session->AddSubLayer({kOtherSublayer, L"s", L"", kOtherSublayer, 1}),
       kFwpErrorProviderNotFound},
      {"provider still used by a sublayer", session->DeleteProvider(kProvider), kFwpErrorInUse},
      {"sublayer still used by a filter", session->DeleteSubLayer(kSublayer), kFwpErrorInUse},
      {"unknown sublayer", session->DeleteSubLayer(kOtherSublayer), kFwpErrorSubLayerNotFound},
      {"weight above 15", session->AddFilter(Filter(kV4, 16, kBlock)).code, kFwpErrorInvalidWeight},
      {"filter in an unknown sublayer",
       session->AddFilter(Filter(kV4, 1, kBlock, {}, kOtherSublayer)).code,
       kFwpErrorSubLayerNotFound},
      {"filter without a name",
       session
           ->AddFilter([] {
             WfpFilter f = Filter(kV4, 1, kBlock);
             f.name.clear();
             return f;
           }())
           .code,
       kFwpErrorNullDisplayName},
      {"IPv6 network on the IPv4 layer",
       session
           ->AddFilter(
               Filter(kV4, 1, kBlock, {{WfpField::kIpRemoteAddress, WfpMatch::kEqual, v6_network}}))
           .code,
       kFwpErrorTypeMismatch},
      {"mask with holes",
       session->AddFilter(Filter(kV4, 1, kBlock, {RemoteV4(0, 0xFF00FF00)})).code,
       kFwpErrorInvalidNetMask},
      {"flags compared for equality",
       session
           ->AddFilter(Filter(kV4, 1, kBlock, {{WfpField::kFlags, WfpMatch::kEqual, uint32_t{1}}}))
           .code,
       kFwpErrorMatchTypeMismatch},
      {"empty application id",
       session
           ->AddFilter(
               Filter(kV6, 1, kBlock, {{WfpField::kAleAppId, WfpMatch::kEqual, WfpByteBlob{}}}))
           .code,
       kFwpErrorZeroLengthArray},
      {"reversed port range",
       session
           ->AddFilter(Filter(kV6, 1, kBlock,
                              {{WfpField::kIpLocalPort, WfpMatch::kRange, WfpUint16Range{9, 1}}}))
           .code,
       kFwpErrorInvalidRange},
      {"unknown filter id", session->DeleteFilter(filter + 1000), kFwpErrorFilterNotFound},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.code, c.expected) << c.what;
  }
}

TEST(InMemoryWfpEngine, RefusesObjectsToCallersWithoutAdministratorRights) {
  InMemoryWfpEngine engine(/*caller_is_administrator=*/false);
  auto session = Open(engine);
  EXPECT_EQ(session->AddProvider({kProvider, L"provider", L""}), kErrorAccessDenied);
  EXPECT_FALSE(engine.HasProvider(kProvider));
}

TEST(InMemoryWfpEngine, HighestMatchingWeightDecidesAndNoMatchPermits) {
  InMemoryWfpEngine engine;
  auto session = Open(engine);
  AddProviderAndSublayer(*session);
  AddProviderAndSublayer(*session, kOtherSublayer);
  session->AddFilter(Filter(kV4, 1, kBlock));
  const uint64_t lan =
      session->AddFilter(Filter(kV4, 10, kPermit, {RemoteV4(0x0A000000, 0xFF000000)})).id;
  const uint64_t host =
      session->AddFilter(Filter(kV4, 12, kBlock, {RemoteV4(0x0A000005, 0xFFFFFFFF)})).id;
  session->AddFilter(Filter(kV4, 15, kPermit, {}, kOtherSublayer));  // another sublayer: ignored

  const WfpVerdict lan_verdict = engine.Classify(V4To(0x0A000001), kSublayer);
  EXPECT_TRUE(lan_verdict.permitted);
  EXPECT_EQ(lan_verdict.filter_id, lan);
  const WfpVerdict host_verdict = engine.Classify(V4To(0x0A000005), kSublayer);
  EXPECT_FALSE(host_verdict.permitted);
  EXPECT_EQ(host_verdict.filter_id, host);
  EXPECT_FALSE(engine.Classify(V4To(0x08080808), kSublayer).permitted);

  WfpConnection v6;
  v6.layer = kV6;
  const WfpVerdict nothing = engine.Classify(v6, kSublayer);
  EXPECT_TRUE(nothing.permitted) << "no filter on the IPv6 layer";
  EXPECT_EQ(nothing.filter_id, 0u);
}

TEST(InMemoryWfpEngine, EqualWeightsWithDifferentActionsAreReportedAsTied) {
  InMemoryWfpEngine engine;
  auto session = Open(engine);
  AddProviderAndSublayer(*session);
  session->AddFilter(Filter(kV6, 15, kBlock));
  session->AddFilter(
      Filter(kV6, 15, kPermit, {{WfpField::kIpProtocol, WfpMatch::kEqual, uint8_t{17}}}));
  WfpConnection udp;
  udp.layer = kV6;
  udp.protocol = 17;
  const WfpVerdict verdict = engine.Classify(udp, kSublayer);
  EXPECT_TRUE(verdict.tied);
  EXPECT_FALSE(verdict.permitted);
  udp.protocol = 6;
  EXPECT_FALSE(engine.Classify(udp, kSublayer).tied);
}

TEST(InMemoryWfpEngine, ConditionsOnOneFieldAreAlternativesAndOnDifferentFieldsAllMustHold) {
  InMemoryWfpEngine engine;
  auto session = Open(engine);
  AddProviderAndSublayer(*session);
  session->AddFilter(Filter(kV6, 1, kBlock));
  session->AddFilter(Filter(
      kV6, 5, kPermit,
      {{WfpField::kIpProtocol, WfpMatch::kEqual, uint8_t{58}},
       {WfpField::kIpLocalPort, WfpMatch::kRange, WfpUint16Range{133, 137}},
       {WfpField::kIpRemoteAddress, WfpMatch::kEqual, WfpV6AddressPrefix{{0xFE, 0x80}, 10}},
       {WfpField::kIpRemoteAddress, WfpMatch::kEqual, WfpV6AddressPrefix{{0xFF, 0x02}, 16}}}));
  session->AddFilter(Filter(
      kV6, 7, kPermit, {{WfpField::kFlags, WfpMatch::kFlagsAllSet, kWfpConditionFlagIsLoopback}}));
  session->AddFilter(
      Filter(kV6, 9, kBlock,
             {{WfpField::kFlags, WfpMatch::kFlagsNoneSet, kWfpConditionFlagIsLoopback},
              {WfpField::kIpLocalInterface, WfpMatch::kEqual, uint64_t{42}}}));

  struct Case {
    const char* what;
    uint8_t protocol;
    uint16_t type;
    std::array<uint8_t, 16> remote;
    bool loopback;
    uint64_t interface_luid;
    bool permitted;
  };
  const std::array<uint8_t, 16> link_local{0xFE, 0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
  const std::array<uint8_t, 16> all_routers{0xFF, 0x02, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2};
  const std::array<uint8_t, 16> global{0x20, 0x01, 0x0D, 0xB8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
  const std::array<uint8_t, 16> loopback{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
  const Case cases[] = {
      {"solicitation to a link-local neighbour", 58, 135, link_local, false, 1, true},
      {"solicitation to all routers", 58, 133, all_routers, false, 1, true},
      {"ND type to a global address", 58, 135, global, false, 1, false},
      {"echo request to a neighbour", 58, 128, link_local, false, 1, false},
      {"TCP on the ND ports", 6, 135, link_local, false, 1, false},
      {"loopback", 6, 80, loopback, true, 1, true},
      {"loopback on interface 42", 6, 80, loopback, true, 42, true},
      {"ND on interface 42", 58, 135, link_local, false, 42, false},
  };
  for (const Case& c : cases) {
    WfpConnection connection;
    connection.layer = kV6;
    connection.protocol = c.protocol;
    connection.local_port = c.type;
    connection.remote_ipv6 = c.remote;
    connection.loopback = c.loopback;
    connection.local_interface = c.interface_luid;
    EXPECT_EQ(engine.Classify(connection, kSublayer).permitted, c.permitted) << c.what;
  }
}

TEST(InMemoryWfpEngine, ApplicationIdsExistOnlyForExistingFiles) {
  InMemoryWfpEngine engine;
  orvo_test::ScratchDirectory scratch;
  const std::wstring path = scratch.AddFile("app.exe");
  const WfpAppId app_id = engine.GetAppIdFromFileName(path);
  ASSERT_EQ(app_id.code, kWfpSuccess);
  EXPECT_EQ(app_id.blob, engine.GetAppIdFromFileName(path).blob);
  EXPECT_EQ(app_id.blob.size(), 2 * (path.size() + 1)) << "NUL-terminated UTF-16";
  EXPECT_EQ(engine.GetAppIdFromFileName(path + L".missing").code, kErrorFileNotFound);
  EXPECT_EQ(engine.GetAppIdFromFileName(L"").code, kErrorFileNotFound);
  EXPECT_EQ(engine.GetAppIdFromFileName(scratch.path().wstring()).code, kErrorFileNotFound)
      << "a directory is no executable";
}

TEST(WfpFilterText, DescribesKeysAndFilters) {
  EXPECT_EQ(DescribeWfpKey(WfpKey::FromText("{c38d57d1-05a7-4c33-904f-7fbceee60e82}")),
            "{C38D57D1-05A7-4C33-904F-7FBCEEE60E82}");
  WfpFilter filter = Filter(
      kV6, 3, kPermit,
      {{WfpField::kIpRemoteAddress, WfpMatch::kEqual, WfpV6AddressPrefix{{0xFE, 0x80}, 10}},
       {WfpField::kIpRemoteAddress, WfpMatch::kEqual,
        WfpV6AddressPrefix{{0x20, 0x01, 0x0D, 0xB8, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 1}, 128}},
       {WfpField::kIpLocalPort, WfpMatch::kRange, WfpUint16Range{133, 137}},
       {WfpField::kIpLocalInterface, WfpMatch::kEqual, uint64_t{0x0006000000000001}},
       {WfpField::kFlags, WfpMatch::kFlagsNoneSet, kWfpConditionFlagIsLoopback},
       {WfpField::kAleAppId, WfpMatch::kEqual, WfpByteBlob{'a', 0, '.', 0, 0, 0}},
       {WfpField::kAleAppId, WfpMatch::kEqual, WfpByteBlob{0x01, 0xFF}}});
  EXPECT_EQ(DescribeWfpFilter(filter),
            "ALE_AUTH_CONNECT_V6 weight=3 PERMIT remote_address=fe80::/10 "
            "remote_address=2001:db8::1:0:0:1/128 local_port in 133-137 "
            "local_interface=0x0006000000000001 flags none-set loopback app_id=\"a.\" "
            "app_id=0x01FF \"f\"");
  EXPECT_EQ(DescribeWfpFilter(Filter(kV4, 10, kBlock, {RemoteV4(0xC0A80000, 0xFFFF0000)}), "x"),
            "ALE_AUTH_CONNECT_V4 weight=10 BLOCK remote_address=192.168.0.0/16 \"f\"");
}

}  // namespace
