#pragma once

#include <functional>
#include <thread>

namespace orvo_vpn_win_svc::platform {

// Starts a thread running `body` into `thread`; false when the system cannot create one. Callers
// report that as a failed operation rather than letting the exception escape. Tests inject one
// that refuses.
using ThreadStarter = std::function<bool(std::function<void()> body, std::thread& thread)>;
bool StartSystemThread(std::function<void()> body, std::thread& thread);

}  // namespace orvo_vpn_win_svc::platform
