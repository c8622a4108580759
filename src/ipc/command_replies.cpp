#include "ipc/command_replies.h"

namespace orvo_vpn_win_svc {
namespace {

using Json = nlohmann::json;

constexpr int kCompact = -1;
constexpr bool kRawUtf8 = false;  // ensure_ascii off: non-ASCII stays UTF-8

}  // namespace

std::string SerializeReply(const Json& reply) {
  return reply.dump(kCompact, ' ', kRawUtf8, Json::error_handler_t::strict);
}

std::string PlainSuccessReply() { return SerializeReply(Json{{"success", true}}); }

std::string FailureReply(const std::string& error) {
  return SerializeReply(Json{{"error", error}, {"success", false}});
}

std::string ParseErrorReply(std::string_view message) {
  const Json reply{{"error", "parse_error: " + std::string(message)}, {"success", false}};
  return reply.dump(kCompact, ' ', kRawUtf8, Json::error_handler_t::replace);
}

}  // namespace orvo_vpn_win_svc
