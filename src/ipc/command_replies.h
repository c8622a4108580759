#pragma once

#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace orvo_vpn_win_svc {

// Serialises a reply the way clients expect every reply: compact, keys in ascending byte order,
// non-ASCII written as raw UTF-8. A text that is not valid UTF-8 throws the library's type error,
// so a reply is never sent with bytes a client's JSON parser would reject.
std::string SerializeReply(const nlohmann::json& reply);

// {"success":true}
std::string PlainSuccessReply();

// {"error":<error>,"success":false}; throws like SerializeReply for invalid UTF-8.
std::string FailureReply(const std::string& error);

// {"error":"parse_error: <message>","success":false}. Never throws on the message's bytes: the
// message may quote raw request bytes or come from a handler, so bytes that are not valid UTF-8
// become U+FFFD instead of making the reply itself unserialisable.
std::string ParseErrorReply(std::string_view message);

}  // namespace orvo_vpn_win_svc
