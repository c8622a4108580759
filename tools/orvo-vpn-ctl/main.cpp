#include <cstdio>
#include <string>
#include <vector>

#include "ctl_reply.h"
#include "ctl_request.h"
#include "platform/local_message_pipe_client.h"

using orvo_vpn_win_svc::platform::PipeExchange;
using orvo_vpn_win_svc::platform::PipeOpening;

namespace {

const char* Explain(PipeOpening::Status status) {
  switch (status) {
    case PipeOpening::Status::kNotFound:
      return "no service is listening there (is orvo-vpn-svc running?)";
    case PipeOpening::Status::kBusy:
      return "the service stayed busy with other clients";
    default:
      return "the exchange failed (the service closes a connection without a reply when the "
             "request is over 8191 bytes)";
  }
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> arguments(argv + 1, argv + argc);
  if (arguments.size() == 1 && (arguments[0] == "--help" || arguments[0] == "-h")) {
    std::fputs(orvo_vpn_ctl::CtlUsage(), stdout);
    return orvo_vpn_ctl::kExitSuccess;
  }
  const orvo_vpn_ctl::CtlParse parse = orvo_vpn_ctl::ParseCtlArguments(arguments);
  if (!parse.ok) {
    std::fprintf(stderr, "orvo-vpn-ctl: %s\n\n%s", parse.error.c_str(), orvo_vpn_ctl::CtlUsage());
    return orvo_vpn_ctl::kExitUnreachable;
  }
  const orvo_vpn_ctl::CtlRequest& request = parse.request;
  const PipeExchange exchange = orvo_vpn_win_svc::platform::ExchangePipeMessage(
      request.pipe_name, request.message, std::chrono::milliseconds(request.busy_wait_ms));
  if (exchange.status != PipeOpening::Status::kOk) {
    std::fprintf(stderr, "orvo-vpn-ctl: cannot reach the service at %s: %s (system error %lu)\n",
                 exchange.endpoint.c_str(), Explain(exchange.status),
                 static_cast<unsigned long>(exchange.error));
    return orvo_vpn_ctl::kExitUnreachable;
  }
  const std::string shown = request.raw ? exchange.reply
                                        : orvo_vpn_ctl::FormatReply(exchange.reply, request.pretty) + "\n";
  std::fwrite(shown.data(), 1, shown.size(), stdout);
  return orvo_vpn_ctl::ExitCodeForReply(exchange.reply);
}
