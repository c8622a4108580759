// Feeds arbitrary requests through the server's routing, as a pipe client would, once with every
// handler slot filled and once with every slot empty. Every reply must be something a client can
// act on: for a JSON request a compact JSON object with a boolean "success" (and an "error" text
// when false), for a text request one of the fixed text replies or the status text.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "ipc/ipc_server.h"
#include "unit/ipc/recording_handlers.h"

namespace {

using namespace orvo_vpn_win_svc;

FILE* g_report = nullptr;  // the real standard error, for this fuzzer's own findings

// Texts the handlers answer with: plain, non-ASCII UTF-8, and bytes that are not UTF-8.
constexpr std::string_view kTexts[] = {"",
                                       "ERR_SINGBOX_START: access denied",
                                       "ERR_TUN_NOT_UP: K\xC3\xB6ln \xE2\x82\xAC \xF0\x9D\x84\x9E",
                                       "ERR_SINGBOX_CRASH: \xFF\xFE",
                                       "truncated \xC3",
                                       "quote \" backslash \\ newline \n control \x01"};

// What the handlers answer (the unit tests' recording handlers, told by a case's fields), chosen
// by the request's hash so that each input is reproducible and the fuzzer can steer towards
// every outcome: each result, texts of every kind, and now and then every handler throwing.
orvo_test::TextCase Answers(size_t variant) {
  orvo_test::TextCase answers;
  // The connection report is the handler's own JSON, passed on untouched.
  answers.fields["connection_info"] =
      "{\"data\":{\"server_city\":\"K\xC3\xB6ln\",\"state\":\"connected\"},\"success\":true}";
  size_t salt = variant;
  for (const char* text : {"status", "connect_error", "relay_error"}) {
    answers.fields[text] = kTexts[++salt % std::size(kTexts)];
  }
  for (const char* slot : {"hysteria2_connect", "connect", "start_relay_proxy",
                           "kill_switch_status", "relay_proxy_running"}) {
    answers.fields[slot] = variant % 2 == 0 ? "true" : "false";
    variant /= 2;
  }
  if (variant % 4 == 1) {
    answers.fields["throw"] = kTexts[++salt % std::size(kTexts)];
  }
  return answers;
}

// What is wrong with `reply`, or nothing.
const char* Fault(const std::string& request, const std::string& reply, const std::string& status) {
  if (request.empty() || request.front() != '{') {
    const bool fixed = reply == "ok" || reply == "err" || reply == "err:bad_json" ||
                       reply == "err:connect_failed" || (request == "status" && reply == status);
    return fixed ? nullptr : "unexpected text reply";
  }
  const nlohmann::json parsed = nlohmann::json::parse(reply, nullptr, false);
  const nlohmann::json success =
      parsed.is_object() ? parsed.value("success", nlohmann::json()) : nullptr;
  if (!success.is_boolean()) {
    return "reply is not a JSON object with a boolean \"success\"";
  }
  if (!success.get<bool>() && !parsed.value("error", nlohmann::json()).is_string()) {
    return "failure without an \"error\" text";
  }
  // Serialising what was parsed gives the same bytes only for compact text with ordered keys
  // and raw UTF-8.
  return parsed.dump() == reply ? nullptr : "reply is not compact, ordered, raw UTF-8 JSON";
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // The connect command logs several lines per request. Send the service's log to /dev/null so
  // the run measures the dispatcher; libFuzzer and the sanitizers keep writing to descriptor 2,
  // and glibc lets the stream variable be replaced.
  g_report = stderr;
  if (FILE* sink = std::fopen("/dev/null", "w")) {
    stderr = sink;
  }
  return 0;
}

// Each request goes to a server with every handler slot filled and to one with every slot empty.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string request(reinterpret_cast<const char*>(data), size);
  const orvo_test::TextCase answers = Answers(std::hash<std::string>{}(request));
  orvo_test::RecordingHandlers handlers(answers);
  IpcServer with_handlers;
  handlers.Install(with_handlers);
  IpcServer without_handlers;
  for (const auto& [server, status] : {std::pair{&with_handlers, answers["status"]},
                                       std::pair{&without_handlers, std::string("disconnected")}}) {
    const std::string reply = server->HandleRequest(request);
    if (const char* fault = Fault(request, reply, status)) {
      std::fprintf(g_report, "json_dispatcher_fuzzer: %s\nrequest (%zu bytes), reply: %s\n", fault,
                   request.size(), reply.c_str());
      std::abort();
    }
  }
  return 0;
}
