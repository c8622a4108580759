#include "platform/thread_starter.h"

#include <system_error>

namespace orvo_vpn_win_svc::platform {

bool StartSystemThread(std::function<void()> body, std::thread& thread) {
  try {
    thread = std::thread(std::move(body));
    return true;
  } catch (const std::system_error&) {
    return false;
  }
}

}  // namespace orvo_vpn_win_svc::platform
