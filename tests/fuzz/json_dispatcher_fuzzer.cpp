// Feeds arbitrary requests through the server's routing, as a pipe client would, once with every
// handler slot filled and once with every slot empty. Every reply must be something a client can
// act on: for a JSON request a compact JSON object with a boolean "success" (and an "error" text
// when false), for a text request one of the fixed text replies or the status text.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <stdexcept>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "ipc/ipc_server.h"

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

// Handlers decide their answers from the request's hash, so each input is reproducible and the
// fuzzer can steer towards every outcome.
size_t g_variant = 0;

std::string Text(size_t salt) {
  return std::string(kTexts[(g_variant + salt) % std::size(kTexts)]);
}

// Succeeds, throws, or fails with a text, by the variant.
bool Answer(std::string& error, size_t salt) {
  if ((g_variant + salt) % 4 == 1) {
    throw std::runtime_error(Text(salt));
  }
  error = Text(salt);
  return (g_variant + salt) % 4 == 0;
}

// One server with every handler slot filled, one with every slot empty.
IpcServer* g_with_handlers = nullptr;
IpcServer* g_without_handlers = nullptr;

void FillHandlers(IpcServer& s) {
  // The legacy parser's promises (mtu range, values) are the legacy configuration fuzzer's.
  s.connect_handler = [](const ConnectRequest&) { return g_variant % 2 == 0; };
  s.disconnect_handler = [] {};
  s.permission_handler = [] {};
  s.status_handler = [] { return Text(1); };
  s.hysteria2_connect_handler = [](const Hysteria2ConnectRequest& r, std::string& error) {
    return Answer(error, r.server_ip.size() + r.password.size());
  };
  s.connection_info_handler = [] {
    return std::string(
        "{\"data\":{\"server_city\":\"K\xC3\xB6ln\",\"state\":\"connected\"},\"success\":true}");
  };
  s.kill_switch_handler = [](const KillSwitchRequest&) {};
  s.kill_switch_status_handler = [] { return g_variant % 2 == 1; };
  s.start_relay_proxy_handler = [](const RelayProxyRequest& r, std::string& error) {
    return Answer(error, r.relay_domain.size());
  };
  s.stop_relay_proxy_handler = [] {};
  s.relay_proxy_running_handler = [] { return g_variant % 3 == 0; };
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
  g_with_handlers = new IpcServer();
  g_without_handlers = new IpcServer();
  FillHandlers(*g_with_handlers);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string request(reinterpret_cast<const char*>(data), size);
  g_variant = std::hash<std::string>{}(request);
  for (const auto& [server, status] :
       {std::pair{g_with_handlers, Text(1)},
        std::pair{g_without_handlers, std::string("disconnected")}}) {
    const std::string reply = server->HandleRequest(request);
    if (const char* fault = Fault(request, reply, status)) {
      std::fprintf(g_report, "json_dispatcher_fuzzer: %s\nrequest (%zu bytes), reply: %s\n", fault,
                   request.size(), reply.c_str());
      std::abort();
    }
  }
  return 0;
}
