#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "ipc/ipc_server.h"
#include "platform/log_capture.h"
#include "unit/ipc/recording_handlers.h"

namespace orvo_vpn_win_svc {
namespace {

// Records as one line of text, so a table states the whole expected record at a glance.
std::string Optional(const std::optional<std::string>& value) {
  return value ? "'" + *value + "'" : "absent";
}

std::string Optional(const std::optional<int32_t>& value) {
  return value ? std::to_string(*value) : "absent";
}

std::string Describe(const Hysteria2ConnectRequest& r) {
  const ConnectionMetadata& m = r.metadata;
  return "server_ip='" + r.server_ip + "' server_domain='" + r.server_domain +
         "' port=" + std::to_string(r.port) + " password='" + r.password +
         "' obfs_password=" + Optional(r.obfs_password) + " speed_mbps=" +
         Optional(r.speed_mbps) + " use_tor=" + (r.use_tor ? "true" : "false") +
         " | server_id='" + m.server_id + "' session_id='" + m.session_id + "' access_code='" +
         m.access_code + "' country='" + m.server_country + "' city='" + m.server_city +
         "' country_code='" + m.server_country_code +
         "' latency_ms=" + std::to_string(m.server_latency_ms) +
         " use_tor=" + (m.use_tor ? "true" : "false");
}

std::string Describe(const RelayProxyRequest& r) {
  return "relay_domain='" + r.relay_domain + "' relay_port=" + std::to_string(r.relay_port) +
         " password='" + r.password + "' obfs_password='" + r.obfs_password +
         "' local_port=" + std::to_string(r.local_port);
}

constexpr const char* kDefaultConnect =
    "server_ip='' server_domain='' port=443 password='' obfs_password=absent speed_mbps=absent "
    "use_tor=false | server_id='' session_id='' access_code='' country='' city='' "
    "country_code='' latency_ms=0 use_tor=false";

struct RecordCase {
  const char* name;
  std::string request;
  std::string record;
};

// Names the case in test output instead of dumping its bytes.
void PrintTo(const RecordCase& c, std::ostream* os) { *os << c.name; }

std::string CaseName(const testing::TestParamInfo<RecordCase>& info) { return info.param.name; }

// What the Hysteria2 handler receives for a "connect" request.
class ConnectRecords : public testing::TestWithParam<RecordCase> {};

TEST_P(ConnectRecords, CarryEveryDefaultAndValue) {
  IpcServer server;
  orvo_test::RecordingHandlers handlers;
  handlers.Install(server);
  EXPECT_EQ(server.HandleRequest(GetParam().request), R"({"error":"","success":true})");
  ASSERT_EQ(handlers.connects.size(), 1u);
  EXPECT_EQ(Describe(handlers.connects[0]), GetParam().record);
}

INSTANTIATE_TEST_SUITE_P(
    JsonDispatcher, ConnectRecords,
    testing::Values(
        RecordCase{"NoConfigNoMetadata", R"({"cmd":"connect"})", kDefaultConnect},
        RecordCase{"EmptyObjects", R"({"cmd":"connect","config":{},"metadata":{}})",
                   kDefaultConnect},
        RecordCase{"DomainDefaultsToServerIp",
                   R"({"cmd":"connect","config":{"server_ip":"203.0.113.9"}})",
                   "server_ip='203.0.113.9' server_domain='203.0.113.9' port=443 password='' "
                   "obfs_password=absent speed_mbps=absent use_tor=false | server_id='' "
                   "session_id='' access_code='' country='' city='' country_code='' "
                   "latency_ms=0 use_tor=false"},
        RecordCase{"EveryMember",
                   R"({"cmd":"connect","config":{"server_ip":"203.0.113.9","host":"h.example",)"
                   R"("port":8443,"password":"pw","obfs_password":"ob","speed_mbps":100,)"
                   R"("use_tor":true},"metadata":{"server_id":"s1","session_id":"x2",)"
                   R"("access_code":"ac","server_country":"Deutschland","server_city":"K\u00f6ln",)"
                   R"("server_country_code":"DE","server_latency_ms":42}})",
                   "server_ip='203.0.113.9' server_domain='h.example' port=8443 password='pw' "
                   "obfs_password='ob' speed_mbps=100 use_tor=true | server_id='s1' "
                   "session_id='x2' access_code='ac' country='Deutschland' city='K\xC3\xB6ln' "
                   "country_code='DE' latency_ms=42 use_tor=true"},
        // An empty password is present; a null one is absent.
        RecordCase{"EmptyObfsPasswordIsPresent",
                   R"({"cmd":"connect","config":{"obfs_password":""}})",
                   "server_ip='' server_domain='' port=443 password='' obfs_password='' "
                   "speed_mbps=absent use_tor=false | server_id='' session_id='' access_code='' "
                   "country='' city='' country_code='' latency_ms=0 use_tor=false"},
        RecordCase{"NullObfsPasswordIsAbsent",
                   R"({"cmd":"connect","config":{"obfs_password":null}})", kDefaultConnect},
        // Only a number sets the speed; anything else leaves it unset without an error.
        RecordCase{"SpeedAsStringIsAbsent", R"({"cmd":"connect","config":{"speed_mbps":"100"}})",
                   kDefaultConnect},
        RecordCase{"SpeedNullIsAbsent", R"({"cmd":"connect","config":{"speed_mbps":null}})",
                   kDefaultConnect},
        RecordCase{"SpeedFloatLosesFraction",
                   R"({"cmd":"connect","config":{"speed_mbps":99.9,"port":-1.5}})",
                   "server_ip='' server_domain='' port=-1 password='' obfs_password=absent "
                   "speed_mbps=99 use_tor=false | server_id='' session_id='' access_code='' "
                   "country='' city='' country_code='' latency_ms=0 use_tor=false"},
        RecordCase{"Int32Bounds",
                   R"({"cmd":"connect","config":{"speed_mbps":2147483647,"port":-2147483648}})",
                   "server_ip='' server_domain='' port=-2147483648 password='' "
                   "obfs_password=absent speed_mbps=2147483647 use_tor=false | server_id='' "
                   "session_id='' access_code='' country='' city='' country_code='' "
                   "latency_ms=0 use_tor=false"},
        // The tunnel kind comes from the config only.
        RecordCase{"UseTorInMetadataIgnored",
                   R"({"cmd":"connect","metadata":{"use_tor":true,"server_latency_ms":7.8}})",
                   "server_ip='' server_domain='' port=443 password='' obfs_password=absent "
                   "speed_mbps=absent use_tor=false | server_id='' session_id='' access_code='' "
                   "country='' city='' country_code='' latency_ms=7 use_tor=false"},
        RecordCase{"MembersOfOtherCommandsIgnored",
                   R"({"cmd":"connect","settings":5,"config":{"relay_port":"x"}})",
                   kDefaultConnect}),
    CaseName);

// The connect request's report on standard error, line by line; passwords never appear.
TEST(JsonDispatcher, ConnectLogsWhatItParsed) {
  IpcServer server;
  orvo_test::RecordingHandlers handlers;
  handlers.Install(server);
  LogCapture capture;
  server.HandleRequest(
      R"({"cmd":"connect","config":{"server_ip":"203.0.113.9","port":8443,)"
      R"("password":"secret-pass","obfs_password":"secret-obfs","use_tor":true}})");
  EXPECT_EQ(capture.StandardError(),
            "ORVO_SVC: === IPC CONNECT REQUEST ===\n"
            "ORVO_SVC: Received config (109 bytes)\n"
            "ORVO_SVC: Parsed server_ip: 203.0.113.9\n"
            "ORVO_SVC: Parsed server_domain: 203.0.113.9\n"
            "ORVO_SVC: Parsed port: 8443\n"
            "ORVO_SVC: Parsed obfs_password: [SET] (len=11)\n"
            "ORVO_SVC: Parsed use_tor: true\n"
            "ORVO_SVC: =============================\n");

  capture.Clear();
  server.HandleRequest(R"({"cmd":"connect","config":{"obfs_password":""}})");
  EXPECT_EQ(capture.StandardError(),
            "ORVO_SVC: === IPC CONNECT REQUEST ===\n"
            "ORVO_SVC: Received config (20 bytes)\n"
            "ORVO_SVC: Parsed server_ip: \n"
            "ORVO_SVC: Parsed server_domain: \n"
            "ORVO_SVC: Parsed port: 443\n"
            "ORVO_SVC: Parsed obfs_password: [SET] (len=0)\n"
            "ORVO_SVC: Parsed use_tor: false\n"
            "ORVO_SVC: =============================\n");

  // The size is that of the config serialised compactly, UTF-8 counted in bytes.
  capture.Clear();
  server.HandleRequest("{\"cmd\":\"connect\",\"config\": { \"host\" : \"\xC3\xBC\", "
                       "\"obfs_password\" : null } }");
  EXPECT_EQ(capture.StandardError(),
            "ORVO_SVC: === IPC CONNECT REQUEST ===\n"
            "ORVO_SVC: Received config (34 bytes)\n"
            "ORVO_SVC: Parsed server_ip: \n"
            "ORVO_SVC: Parsed server_domain: \xC3\xBC\n"
            "ORVO_SVC: Parsed port: 443\n"
            "ORVO_SVC: No obfs_password in config\n"
            "ORVO_SVC: Parsed use_tor: false\n"
            "ORVO_SVC: =============================\n");
}

// A config that is not an object is reported as received, then refused before any field.
TEST(JsonDispatcher, ConnectLogsStopAtABadConfig) {
  IpcServer server;
  orvo_test::RecordingHandlers handlers;
  handlers.Install(server);
  LogCapture capture;
  EXPECT_EQ(server.HandleRequest(R"({"cmd":"connect","config":null})"),
            R"({"error":"parse_error: [json.exception.type_error.306] cannot use value() with )"
            R"(null","success":false})");
  EXPECT_EQ(capture.StandardError(),
            "ORVO_SVC: === IPC CONNECT REQUEST ===\n"
            "ORVO_SVC: Received config (4 bytes)\n");
  EXPECT_TRUE(handlers.connects.empty());
}

// Only "connect" logs.
TEST(JsonDispatcher, OtherCommandsLogNothing) {
  IpcServer server;
  orvo_test::RecordingHandlers handlers;
  handlers.Install(server);
  LogCapture capture;
  for (const char* request :
       {R"({"cmd":"status"})", R"({"cmd":"set_kill_switch"})",
        R"({"cmd":"start_relay_proxy","config":{"password":"p"}})", R"({"cmd":"x"})", "{"}) {
    server.HandleRequest(request);
  }
  EXPECT_EQ(capture.StandardError(), "");
}

struct KillSwitchCase {
  const char* name;
  std::string request;
  bool enabled;
  bool allow_lan;
  std::vector<std::string> allowlist;
  std::vector<std::wstring> permitted_apps;
};

// Names the case in test output instead of dumping its bytes.
void PrintTo(const KillSwitchCase& c, std::ostream* os) { *os << c.name; }

std::string KillSwitchCaseName(const testing::TestParamInfo<KillSwitchCase>& info) {
  return info.param.name;
}

class KillSwitchRecords : public testing::TestWithParam<KillSwitchCase> {};

TEST_P(KillSwitchRecords, CarryTheSettings) {
  IpcServer server;
  orvo_test::RecordingHandlers handlers;
  handlers.Install(server);
  EXPECT_EQ(server.HandleRequest(GetParam().request), R"({"success":true})");
  ASSERT_EQ(handlers.kill_switches.size(), 1u);
  const KillSwitchRequest& got = handlers.kill_switches[0];
  EXPECT_EQ(got.enabled, GetParam().enabled);
  EXPECT_EQ(got.allow_lan, GetParam().allow_lan);
  EXPECT_EQ(got.allowlist, GetParam().allowlist);
  EXPECT_EQ(got.permitted_apps, GetParam().permitted_apps);
}

INSTANTIATE_TEST_SUITE_P(
    JsonDispatcher, KillSwitchRecords,
    testing::Values(
        KillSwitchCase{"NoSettings", R"({"cmd":"set_kill_switch"})", false, true, {}, {}},
        KillSwitchCase{"FlagsGiven",
                       R"({"cmd":"set_kill_switch","settings":{"enabled":true,"allow_lan":false}})",
                       true, false, {}, {}},
        // Non-string elements are skipped; order is kept.
        KillSwitchCase{"MixedAllowlist",
                       R"({"cmd":"set_kill_switch","settings":{"allowlist":["10.0.0.1",5,)"
                       R"(null,"192.0.2.0/24",["x"]]}})",
                       false, true, {"10.0.0.1", "192.0.2.0/24"}, {}},
        // A member that is not an array is ignored, not an error.
        KillSwitchCase{"AllowlistSingleString",
                       R"({"cmd":"set_kill_switch","settings":{"allowlist":"10.0.0.1",)"
                       R"("permitted_apps":null}})",
                       false, true, {}, {}},
        KillSwitchCase{"AllowlistObject",
                       R"({"cmd":"set_kill_switch","settings":{"allowlist":{"a":"b"}}})", false,
                       true, {}, {}},
        // Application paths arrive as UTF-8 and go on as wide text.
        KillSwitchCase{"PermittedAppsWidened",
                       "{\"cmd\":\"set_kill_switch\",\"settings\":{\"permitted_apps\":["
                       "\"C:\\\\Program Files\\\\\xC3\x9C" "ber\\\\app.exe\",7,"
                       "\"D:\\\\\\u20ac\\ud834\\udd1e.exe\",\"\"]}}",
                       false,
                       true,
                       {},
                       {L"C:\\Program Files\\\u00DCber\\app.exe", L"D:\\\u20AC\U0001D11E.exe",
                        L""}}),
    KillSwitchCaseName);

// What the relay handler receives for "start_relay_proxy".
class RelayRecords : public testing::TestWithParam<RecordCase> {};

TEST_P(RelayRecords, CarryEveryDefaultAndValue) {
  IpcServer server;
  orvo_test::RecordingHandlers handlers;
  handlers.Install(server);
  EXPECT_EQ(server.HandleRequest(GetParam().request), R"({"success":true})");
  ASSERT_EQ(handlers.relays.size(), 1u);
  EXPECT_EQ(Describe(handlers.relays[0]), GetParam().record);
}

INSTANTIATE_TEST_SUITE_P(
    JsonDispatcher, RelayRecords,
    testing::Values(
        RecordCase{"EmptyConfigTakesDefaults", R"({"cmd":"start_relay_proxy","config":{}})",
                   "relay_domain='' relay_port=443 password='' "
                   "obfs_password='Xq3LmT8vRk2Wn5PzYc7HdJ4sGb9FaE6uNw1VoKi0Rtg=' "
                   "local_port=10808"},
        RecordCase{"EveryMember",
                   R"({"cmd":"start_relay_proxy","config":{"relay_domain":"r.example",)"
                   R"("relay_port":8443.7,"password":"p","obfs_password":"","local_port":1080}})",
                   "relay_domain='r.example' relay_port=8443 password='p' obfs_password='' "
                   "local_port=1080"}),
    CaseName);

}  // namespace
}  // namespace orvo_vpn_win_svc
