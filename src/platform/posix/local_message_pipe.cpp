#include "platform/local_message_pipe.h"
namespace orvo_vpn_win_svc::platform {
std::shared_ptr<LocalMessagePipeFactory> SystemMessagePipes() { return nullptr; }
}
