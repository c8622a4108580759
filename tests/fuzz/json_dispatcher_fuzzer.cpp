// Feeds arbitrary requests through the server's routing, as a pipe client would, once with every
// handler slot filled and once with every slot empty. Every reply must be something a client can act on: for a JSON request a
// compact JSON object with a boolean "success", for a text request one of the fixed text replies
// or the status text.

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

using orvo_vpn_win_svc::ConnectRequest;
using orvo_vpn_win_svc::Hysteria2ConnectRequest;
using orvo_vpn_win_svc::IpcServer;
using orvo_vpn_win_svc::KillSwitchRequest;
using orvo_vpn_win_svc::RelayProxyRequest;

FILE* g_report = nullptr;  // the real standard error, for this fuzzer's own findings

// Texts the handlers answer with: plain, non-ASCII UTF-8, and bytes that are not UTF-8.
constexpr std::string_view kTexts[] = {
    "",
    "ERR_SINGBOX_START: access denied",
    "ERR_TUN_NOT_UP: K\xC3\xB6ln \xE2\x82\xAC \xF0\x9D\x84\x9E",
    "ERR_SINGBOX_CRASH: \xFF\xFE",
    "truncated \xC3",
    "quote \" backslash \\ newline \n control \x01",
};
constexpr size_t kTextCount = sizeof(kTexts) / sizeof(kTexts[0]);

constexpr std::string_view kConnectionInfo =
    R"({"data":{"server_city":"K)"
    "\xC3\xB6"
    R"(ln","state":"connected"},"success":true})";

// Handlers decide their answers from the request, so each input is reproducible and the fuzzer
// can steer towards every outcome.
size_t g_variant = 0;

std::string_view Text(size_t salt) { return kTexts[(g_variant + salt) % kTextCount]; }

[[noreturn]] void Fail(const char* what, const std::string& request, const std::string& reply) {
  std::fprintf(g_report, "json_dispatcher_fuzzer: %s\nrequest (%zu bytes), reply (%zu bytes): %s\n",
               what, request.size(), reply.size(), reply.c_str());
  std::abort();
}

// Succeeds, fails with a text, or throws, by the variant.
bool Answer(std::string& error, size_t salt) {
  switch ((g_variant + salt) % 4) {
    case 0:
      return true;
    case 1:
      throw std::runtime_error(std::string(Text(salt)));
    default:
      error = Text(salt);
      return false;
  }
}

void InstallHandlers(IpcServer& server) {
  server.connect_handler = [](const ConnectRequest& request) {
    if (request.mtu < 1 || request.mtu > 9000) {
      std::fprintf(g_report, "json_dispatcher_fuzzer: legacy mtu %u\n", request.mtu);
      std::abort();
    }
    return g_variant % 2 == 0;
  };
  server.disconnect_handler = [] {};
  server.permission_handler = [] {};
  server.status_handler = [] { return std::string(Text(1)); };
  server.hysteria2_connect_handler = [](const Hysteria2ConnectRequest& request,
                                        std::string& error) {
    return Answer(error, request.server_ip.size() + request.password.size());
  };
  server.connection_info_handler = [] { return std::string(kConnectionInfo); };
  server.kill_switch_handler = [](const KillSwitchRequest&) {};
  server.kill_switch_status_handler = [] { return g_variant % 2 == 1; };
  server.start_relay_proxy_handler = [](const RelayProxyRequest& request, std::string& error) {
    return Answer(error, request.relay_domain.size());
  };
  server.stop_relay_proxy_handler = [] {};
  server.relay_proxy_running_handler = [] { return g_variant % 3 == 0; };
}

IpcServer& ServerWithHandlers() {
  static IpcServer* server = [] {
    auto* created = new IpcServer();
    InstallHandlers(*created);
    return created;
  }();
  return *server;
}

IpcServer& ServerWithoutHandlers() {
  static IpcServer* server = new IpcServer();
  return *server;
}

void CheckJsonReply(const std::string& request, const std::string& reply) {
  const nlohmann::json parsed = nlohmann::json::parse(reply, nullptr, false);
  if (parsed.is_discarded() || !parsed.is_object()) {
    Fail("reply is not a JSON object", request, reply);
  }
  const auto success = parsed.find("success");
  if (success == parsed.end() || !success->is_boolean()) {
    Fail("reply has no boolean \"success\"", request, reply);
  }
  const auto error = parsed.find("error");
  if (!success->get<bool>() && (error == parsed.end() || !error->is_string())) {
    Fail("failure without an \"error\" text", request, reply);
  }
  // Serialising what was parsed gives the same bytes only for compact text with ordered keys
  // and raw UTF-8.
  if (parsed.dump() != reply) {
    Fail("reply is not compact, ordered, raw UTF-8 JSON", request, reply);
  }
}

void CheckTextReply(const std::string& request, const std::string& reply,
                    std::string_view status) {
  for (const std::string_view fixed : {"ok", "err", "err:bad_json", "err:connect_failed"}) {
    if (reply == fixed) {
      return;
    }
  }
  if (request == "status" && reply == status) {
    return;
  }
  Fail("unexpected text reply", request, reply);
}

void Check(const std::string& request, const std::string& reply, std::string_view status) {
  if (!request.empty() && request.front() == '{') {
    CheckJsonReply(request, reply);
  } else {
    CheckTextReply(request, reply, status);
  }
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

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string request(reinterpret_cast<const char*>(data), size);
  g_variant = std::hash<std::string>{}(request);
  Check(request, ServerWithHandlers().HandleRequest(request), Text(1));
  Check(request, ServerWithoutHandlers().HandleRequest(request), "disconnected");
  return 0;
}
