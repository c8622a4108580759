#include "ctl_reply.h"

#include <nlohmann/json.hpp>

namespace orvo_vpn_ctl {

int ExitCodeForReply(const std::string& reply) {
  if (!reply.empty() && reply.front() == '{') {
    const auto json = nlohmann::json::parse(reply, nullptr, false);
    const bool success = json.is_object() && json.contains("success") &&
                         json["success"].is_boolean() && json["success"].get<bool>();
    return success ? kExitSuccess : kExitServiceFailure;
  }
  // Text replies: "ok", a status text, or one of the "err..." failures.
  return reply.rfind("err", 0) == 0 ? kExitServiceFailure : kExitSuccess;
}

std::string FormatReply(const std::string& reply, bool pretty) {
  if (!pretty) {
    return reply;
  }
  const auto json = nlohmann::json::parse(reply, nullptr, false);
  if (json.is_discarded()) {
    return reply;
  }
  return json.dump(2, ' ', false, nlohmann::json::error_handler_t::replace);
}

}  // namespace orvo_vpn_ctl
