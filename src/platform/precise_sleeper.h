#pragma once

#include "platform/sleeper.h"

namespace orvo_vpn_win_svc::platform {

// A sleeper whose short pauses last about as long as asked, for the packet threads' 1 ms and
// 5 ms pauses. Windows rounds Sleep(1) up to its timer tick (about 15.6 ms by default), which
// would add that much latency to the first packet after every idle moment; there this sleeps on
// a high-resolution waitable timer of the calling thread (or, where the system has none, raises
// the timer resolution to 1 ms for the process). Elsewhere the system's own sleep already is.
Sleeper& PreciseSleeper();

}  // namespace orvo_vpn_win_svc::platform
