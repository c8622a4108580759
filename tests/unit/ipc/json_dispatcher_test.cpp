#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "ipc/ipc_server.h"
#include "unit/ipc/recording_handlers.h"

namespace orvo_vpn_win_svc {
namespace {

using namespace std::string_literals;

struct ReplyCase {
  const char* name;
  std::string request;
  std::string reply;
};

// Names the case in test output instead of dumping its bytes.
void PrintTo(const ReplyCase& c, std::ostream* os) { *os << c.name; }

std::string CaseName(const testing::TestParamInfo<ReplyCase>& info) { return info.param.name; }

// Every command with every slot empty: the fixed replies clients rely on when the service runs
// without a handler.
class EmptySlotReplies : public testing::TestWithParam<ReplyCase> {};

TEST_P(EmptySlotReplies, AreFixed) {
  IpcServer server;
  EXPECT_EQ(server.HandleRequest(GetParam().request), GetParam().reply);
}

INSTANTIATE_TEST_SUITE_P(
    JsonDispatcher, EmptySlotReplies,
    testing::Values(
        ReplyCase{"Connect", R"({"cmd":"connect"})", R"({"error":"","success":false})"},
        ReplyCase{"Disconnect", R"({"cmd":"disconnect"})", R"({"success":true})"},
        ReplyCase{"Status", R"({"cmd":"status"})",
                  R"({"data":{"status":"disconnected"},"success":true})"},
        ReplyCase{"ConnectionInfo", R"({"cmd":"get_connection_info"})",
                  R"({"error":"handler_not_set","success":false})"},
        ReplyCase{"Permission", R"({"cmd":"permission"})", R"({"success":true})"},
        ReplyCase{"SetKillSwitch", R"({"cmd":"set_kill_switch"})", R"({"success":true})"},
        ReplyCase{"KillSwitchStatus", R"({"cmd":"get_kill_switch_status"})",
                  R"({"data":{"enabled":false},"success":true})"},
        ReplyCase{"StartRelay", R"({"cmd":"start_relay_proxy","config":{}})",
                  R"({"error":"","success":false})"},
        ReplyCase{"StartRelayWithoutConfig", R"({"cmd":"start_relay_proxy"})",
                  R"({"error":"missing config","success":false})"},
        ReplyCase{"StopRelay", R"({"cmd":"stop_relay_proxy"})", R"({"success":true})"},
        ReplyCase{"RelayRunning", R"({"cmd":"is_relay_proxy_running"})",
                  R"({"running":false,"success":true})"},
        // Names match whole and case-sensitively; a missing or empty "cmd" is no command.
        ReplyCase{"CmdInOtherCase", R"({"cmd":"Status"})",
                  R"({"error":"unknown_command","success":false})"},
        ReplyCase{"CmdWithSpace", R"({"cmd":"status "})",
                  R"({"error":"unknown_command","success":false})"},
        ReplyCase{"CmdMissing", R"({"config":{}})",
                  R"({"error":"unknown_command","success":false})"},
        ReplyCase{"CmdEmpty", R"({"cmd":""})", R"({"error":"unknown_command","success":false})"},
        ReplyCase{"CmdEscapedNonAscii", R"({"cmd":"st\u00e4tus"})",
                  R"({"error":"unknown_command","success":false})"},
        // Members a command does not read are ignored, whatever their type.
        ReplyCase{"UnreadMembersIgnored", R"({"cmd":"status","config":null,"x":[1,{}]})",
                  R"({"data":{"status":"disconnected"},"success":true})"},
        // Whitespace after the one value is allowed; anything else is not.
        ReplyCase{"TrailingWhitespace", "{\"cmd\":\"disconnect\"} \t\r\n", R"({"success":true})"}),
    CaseName);

// Requests the dispatcher cannot carry out. Each must end in the parse-error reply with the exact
// message, and never in an exception towards the listener.
class ParseErrorReplies : public testing::TestWithParam<ReplyCase> {};

TEST_P(ParseErrorReplies, CarryTheMessage) {
  IpcServer server;
  orvo_test::RecordingHandlers handlers;
  handlers.Install(server);
  EXPECT_EQ(server.HandleRequest(GetParam().request),
            R"({"error":"parse_error: )" + GetParam().reply + R"(","success":false})");
}

INSTANTIATE_TEST_SUITE_P(
    JsonDispatcher, ParseErrorReplies,
    testing::Values(
        ReplyCase{"BraceAlone", "{",
                  "[json.exception.parse_error.101] parse error at line 1, column 2: syntax "
                  "error while parsing object key - unexpected end of input; expected string "
                  "literal"},
        ReplyCase{"TrailingText", R"({"cmd":"status"} x)",
                  R"([json.exception.parse_error.101] parse error at line 1, column 18: syntax )"
                  R"(error while parsing value - invalid literal; last read: '\"status\"} x'; )"
                  R"(expected end of input)"},
        ReplyCase{"Comment", R"({"cmd":"status"/*c*/})",
                  R"([json.exception.parse_error.101] parse error at line 1, column 16: syntax )"
                  R"(error while parsing object - invalid literal; last read: '\"status\"/'; )"
                  R"(expected '}')"},
        ReplyCase{"CmdNotString", R"({"cmd":5})",
                  "[json.exception.type_error.302] type must be string, but is number"},
        ReplyCase{"ConnectConfigNull", R"({"cmd":"connect","config":null})",
                  "[json.exception.type_error.306] cannot use value() with null"},
        ReplyCase{"ConnectConfigString", R"({"cmd":"connect","config":"x"})",
                  "[json.exception.type_error.306] cannot use value() with string"},
        ReplyCase{"MetadataArray", R"({"cmd":"connect","metadata":[]})",
                  "[json.exception.type_error.306] cannot use value() with array"},
        ReplyCase{"SettingsNumber", R"({"cmd":"set_kill_switch","settings":5})",
                  "[json.exception.type_error.306] cannot use value() with number"},
        ReplyCase{"RelayConfigNull", R"({"cmd":"start_relay_proxy","config":null})",
                  "[json.exception.type_error.306] cannot use value() with null"},
        ReplyCase{"PortAsString", R"({"cmd":"connect","config":{"port":"443"}})",
                  "[json.exception.type_error.302] type must be number, but is string"},
        ReplyCase{"HostNull", R"({"cmd":"connect","config":{"host":null}})",
                  "[json.exception.type_error.302] type must be string, but is null"},
        ReplyCase{"UseTorString", R"({"cmd":"connect","config":{"use_tor":"true"}})",
                  "[json.exception.type_error.302] type must be boolean, but is string"},
        ReplyCase{"ObfsPasswordNumber", R"({"cmd":"connect","config":{"obfs_password":5}})",
                  "[json.exception.type_error.302] type must be string, but is number"},
        ReplyCase{"LatencyAsString",
                  R"({"cmd":"connect","metadata":{"server_latency_ms":"12"}})",
                  "[json.exception.type_error.302] type must be number, but is string"},
        ReplyCase{"EnabledNumber", R"({"cmd":"set_kill_switch","settings":{"enabled":1}})",
                  "[json.exception.type_error.302] type must be boolean, but is number"},
        ReplyCase{"RelayPortNull", R"({"cmd":"start_relay_proxy","config":{"relay_port":null}})",
                  "[json.exception.type_error.302] type must be number, but is null"},
        // Numbers beyond a 32-bit field are refused rather than wrapped or cast undefined.
        ReplyCase{"PortBeyondUnsigned32", R"({"cmd":"connect","config":{"port":4294967739}})",
                  "number out of range for port (signed 32-bit)"},
        ReplyCase{"PortBelowInt32", R"({"cmd":"connect","config":{"port":-2147483649}})",
                  "number out of range for port (signed 32-bit)"},
        ReplyCase{"PortHugeFloat", R"({"cmd":"connect","config":{"port":1e300}})",
                  "number out of range for port (signed 32-bit)"},
        ReplyCase{"SpeedBeyondInt32", R"({"cmd":"connect","config":{"speed_mbps":3e9}})",
                  "number out of range for speed_mbps (signed 32-bit)"},
        ReplyCase{"LocalPortBeyondInt32",
                  R"({"cmd":"start_relay_proxy","config":{"local_port":2147483648}})",
                  "number out of range for local_port (signed 32-bit)"},
        ReplyCase{"NumberOverflow", R"({"cmd":"connect","config":{"port":1e400}})",
                  "[json.exception.out_of_range.406] number overflow parsing '1e400'"},
        // The library quotes the offending bytes; invalid ones must not reach the reply raw.
        ReplyCase{"InvalidUtf8InRequest", "{\"cmd\":\"\xff\"}",
                  "[json.exception.parse_error.101] parse error at line 1, column 9: syntax "
                  "error while parsing value - invalid string: ill-formed UTF-8 byte; last "
                  "read: '\\\"\xEF\xBF\xBD'"},
        ReplyCase{"TruncatedUtf8InRequest", "{\"cmd\":\"a\xc3\"}",
                  "[json.exception.parse_error.101] parse error at line 1, column 11: syntax "
                  "error while parsing value - invalid string: ill-formed UTF-8 byte; last "
                  "read: '\\\"a\xEF\xBF\xBD\\\"'"},
        ReplyCase{"NulInRequest", "{\"cmd\":\"st\0\"}"s,
                  "[json.exception.parse_error.101] parse error at line 1, column 11: syntax "
                  "error while parsing value - invalid string: control character U+0000 (NUL) "
                  "must be escaped to \\\\u0000; last read: '\\\"st<U+0000>'"}),
    CaseName);

// The JSON path is taken only for a first byte "{".
TEST(JsonDispatcher, OnlyALeadingBraceIsJson) {
  IpcServer server;
  EXPECT_EQ(server.HandleRequest(" {\"cmd\":\"status\"}"), "err");
  EXPECT_EQ(server.HandleRequest("\n{\"cmd\":\"status\"}"), "err");
  EXPECT_EQ(server.HandleRequest("[{\"cmd\":\"status\"}]"), "err");
}

struct HandlerCase {
  const char* name;
  std::string request;
  void (*configure)(orvo_test::RecordingHandlers&);
  std::vector<std::string> calls;
  std::string reply;
};

// Names the case in test output instead of dumping its bytes.
void PrintTo(const HandlerCase& c, std::ostream* os) { *os << c.name; }

std::string HandlerCaseName(const testing::TestParamInfo<HandlerCase>& info) {
  return info.param.name;
}

// Each command with its slot filled: which handler ran and what the reply made of its result.
class HandlerReplies : public testing::TestWithParam<HandlerCase> {};

TEST_P(HandlerReplies, CarryTheHandlersResult) {
  IpcServer server;
  orvo_test::RecordingHandlers handlers;
  handlers.Install(server);
  GetParam().configure(handlers);
  EXPECT_EQ(server.HandleRequest(GetParam().request), GetParam().reply);
  EXPECT_EQ(handlers.calls, GetParam().calls);
}

void Defaults(orvo_test::RecordingHandlers&) {}

INSTANTIATE_TEST_SUITE_P(
    JsonDispatcher, HandlerReplies,
    testing::Values(
        HandlerCase{"ConnectSucceeds", R"({"cmd":"connect"})", Defaults, {"hysteria2_connect"},
                    R"({"error":"","success":true})"},
        // A success reports an empty error even if the handler left text behind.
        HandlerCase{"ConnectSucceedsWithLeftoverError", R"({"cmd":"connect"})",
                    [](orvo_test::RecordingHandlers& h) { h.connect_error = "stale"; },
                    {"hysteria2_connect"},
                    R"({"error":"","success":true})"},
        HandlerCase{"ConnectFails", R"({"cmd":"connect"})",
                    [](orvo_test::RecordingHandlers& h) {
                      h.connect_result = false;
                      h.connect_error = "ERR_TUN_NOT_UP: \"OrvoVPN\" down\n";
                    },
                    {"hysteria2_connect"},
                    R"({"error":"ERR_TUN_NOT_UP: \"OrvoVPN\" down\n","success":false})"},
        HandlerCase{"ConnectFailsWithoutText", R"({"cmd":"connect"})",
                    [](orvo_test::RecordingHandlers& h) { h.connect_result = false; },
                    {"hysteria2_connect"},
                    R"({"error":"","success":false})"},
        // Non-ASCII travels as raw UTF-8, not as \u escapes.
        HandlerCase{"ConnectErrorNonAscii", R"({"cmd":"connect"})",
                    [](orvo_test::RecordingHandlers& h) {
                      h.connect_result = false;
                      h.connect_error =
                          "ERR_SINGBOX_START: Zugriff verweigert \xE2\x80\x93 \xC3\xBC";
                    },
                    {"hysteria2_connect"},
                    "{\"error\":\"ERR_SINGBOX_START: Zugriff verweigert \xE2\x80\x93 \xC3\xBC\","
                    "\"success\":false}"},
        // An error text that is not UTF-8 cannot be sent as JSON: the parse-error reply says so.
        HandlerCase{"ConnectErrorInvalidUtf8", R"({"cmd":"connect"})",
                    [](orvo_test::RecordingHandlers& h) {
                      h.connect_result = false;
                      h.connect_error = "ERR_SINGBOX_CRASH: \xFF";
                    },
                    {"hysteria2_connect"},
                    R"({"error":"parse_error: [json.exception.type_error.316] invalid UTF-8 )"
                    R"(byte at index 19: 0xFF","success":false})"},
        HandlerCase{"ConnectErrorTruncatedUtf8", R"({"cmd":"connect"})",
                    [](orvo_test::RecordingHandlers& h) {
                      h.connect_result = false;
                      h.connect_error = "ab\xC3";
                    },
                    {"hysteria2_connect"},
                    R"({"error":"parse_error: [json.exception.type_error.316] incomplete )"
                    R"(UTF-8 string; last byte: 0xC3","success":false})"},
        HandlerCase{"ConnectHandlerThrows", R"({"cmd":"connect"})",
                    [](orvo_test::RecordingHandlers& h) { h.throw_text = "handler exploded"; },
                    {"hysteria2_connect"},
                    R"({"error":"parse_error: handler exploded","success":false})"},
        // Even a thrown text with invalid bytes gives a reply a client can parse.
        HandlerCase{"HandlerThrowsInvalidUtf8", R"({"cmd":"start_relay_proxy","config":{}})",
                    [](orvo_test::RecordingHandlers& h) { h.throw_text = "bad \xFF\xFE end"; },
                    {"start_relay_proxy"},
                    "{\"error\":\"parse_error: bad \xEF\xBF\xBD\xEF\xBF\xBD end\","
                    "\"success\":false}"},
        HandlerCase{"Disconnect", R"({"cmd":"disconnect"})", Defaults, {"disconnect"},
                    R"({"success":true})"},
        HandlerCase{"Permission", R"({"cmd":"permission"})", Defaults, {"permission"},
                    R"({"success":true})"},
        HandlerCase{"Status", R"({"cmd":"status"})",
                    [](orvo_test::RecordingHandlers& h) { h.status = "verbunden \xC3\xBC"; },
                    {"status"},
                    "{\"data\":{\"status\":\"verbunden \xC3\xBC\"},\"success\":true}"},
        HandlerCase{"StatusInvalidUtf8", R"({"cmd":"status"})",
                    [](orvo_test::RecordingHandlers& h) { h.status = "\xC0"; },
                    {"status"},
                    R"({"error":"parse_error: [json.exception.type_error.316] invalid UTF-8 )"
                    R"(byte at index 0: 0xC0","success":false})"},
        // The connection report is the handler's own complete reply, passed through untouched.
        HandlerCase{"ConnectionInfoPassedThrough", R"({"cmd":"get_connection_info"})",
                    [](orvo_test::RecordingHandlers& h) {
                      h.connection_info = "{ \"b\": 1, \"a\": 2 }";
                    },
                    {"connection_info"},
                    "{ \"b\": 1, \"a\": 2 }"},
        HandlerCase{"KillSwitchStatusTrue", R"({"cmd":"get_kill_switch_status"})", Defaults,
                    {"kill_switch_status"},
                    R"({"data":{"enabled":true},"success":true})"},
        HandlerCase{"KillSwitchStatusFalse", R"({"cmd":"get_kill_switch_status"})",
                    [](orvo_test::RecordingHandlers& h) { h.kill_switch_enabled = false; },
                    {"kill_switch_status"},
                    R"({"data":{"enabled":false},"success":true})"},
        HandlerCase{"SetKillSwitch", R"({"cmd":"set_kill_switch","settings":{"enabled":true}})",
                    Defaults, {"kill_switch"}, R"({"success":true})"},
        HandlerCase{"StartRelaySucceeds", R"({"cmd":"start_relay_proxy","config":{}})", Defaults,
                    {"start_relay_proxy"},
                    R"({"success":true})"},
        HandlerCase{"StartRelayFails", R"({"cmd":"start_relay_proxy","config":{}})",
                    [](orvo_test::RecordingHandlers& h) {
                      h.relay_start_result = false;
                      h.relay_error = "RELAY: port in use";
                    },
                    {"start_relay_proxy"},
                    R"({"error":"RELAY: port in use","success":false})"},
        HandlerCase{"StartRelayWithoutConfigCallsNothing", R"({"cmd":"start_relay_proxy"})",
                    Defaults, {}, R"({"error":"missing config","success":false})"},
        HandlerCase{"StopRelay", R"({"cmd":"stop_relay_proxy"})", Defaults, {"stop_relay_proxy"},
                    R"({"success":true})"},
        HandlerCase{"RelayRunning", R"({"cmd":"is_relay_proxy_running"})", Defaults,
                    {"relay_proxy_running"},
                    R"({"running":true,"success":true})"},
        HandlerCase{"UnknownCommandCallsNothing", R"({"cmd":"shutdown"})", Defaults, {},
                    R"({"error":"unknown_command","success":false})"},
        // A request that fails before its handler is reached calls nothing.
        HandlerCase{"BadMemberCallsNothing", R"({"cmd":"connect","config":{"port":"1"}})",
                    Defaults, {},
                    R"({"error":"parse_error: [json.exception.type_error.302] type must be )"
                    R"(number, but is string","success":false})"}),
    HandlerCaseName);

}  // namespace
}  // namespace orvo_vpn_win_svc
