#include "platform/local_message_pipe_client.h"

namespace orvo_vpn_win_svc::platform {

PipeExchange ExchangePipeMessage(const std::wstring& name, std::string_view request,
                                 std::chrono::milliseconds busy_wait) {
  PipeOpening opening = OpenPipeConnection(name, busy_wait);
  PipeExchange exchange;
  exchange.status = opening.status;
  exchange.error = opening.error;
  exchange.endpoint = opening.endpoint;
  if (opening.status != PipeOpening::Status::kOk) {
    return exchange;
  }
  std::optional<std::string> reply;
  if (opening.connection->Send(request)) {
    reply = opening.connection->Receive();
  }
  if (!reply) {
    exchange.status = PipeOpening::Status::kFailed;
    return exchange;
  }
  exchange.reply = std::move(*reply);
  return exchange;
}

}  // namespace orvo_vpn_win_svc::platform
