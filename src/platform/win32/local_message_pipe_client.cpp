#include "platform/local_message_pipe_client.h"
namespace orvo_vpn_win_svc::platform {
PipeExchange ExchangePipeMessage(const std::wstring&, std::string_view, std::chrono::milliseconds) { return {}; }
}
