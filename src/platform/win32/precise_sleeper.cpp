#include "platform/precise_sleeper.h"

#include <windows.h>

#include <timeapi.h>

namespace orvo_vpn_win_svc::platform {
namespace {

// Windows 10 1803 and later; mingw-w64 10's headers do not name it.
#ifndef CREATE_WAITABLE_TIMER_HIGH_RESOLUTION
#define CREATE_WAITABLE_TIMER_HIGH_RESOLUTION 0x00000002
#endif

// Raises the system timer resolution to 1 ms for as long as the process runs, so Sleep(1) and
// ordinary timers last about 1 ms. Only taken where high-resolution timers do not exist.
class OneMillisecondTimerPeriod {
 public:
  OneMillisecondTimerPeriod() : raised_(timeBeginPeriod(1) == TIMERR_NOERROR) {}
  ~OneMillisecondTimerPeriod() {
    if (raised_) {
      timeEndPeriod(1);
    }
  }
  OneMillisecondTimerPeriod(const OneMillisecondTimerPeriod&) = delete;
  OneMillisecondTimerPeriod& operator=(const OneMillisecondTimerPeriod&) = delete;

 private:
  bool raised_;
};

void WINAPI CloseTimer(void* timer) {
  if (timer != nullptr) {
    CloseHandle(timer);
  }
}

// The calling thread's high-resolution timer (null where there is none), made on first use and
// closed by the system when the thread ends. Not a thread_local object with a destructor: with
// mingw-w64 that destructor runs after the object's storage has been freed, so it would close
// whatever handle value the freed memory then holds and write into the heap.
HANDLE ThreadTimer() {
  static const DWORD slot = FlsAlloc(&CloseTimer);
  if (slot == FLS_OUT_OF_INDEXES) {
    return nullptr;
  }
  HANDLE timer = FlsGetValue(slot);
  if (timer == nullptr) {
    timer = CreateWaitableTimerExW(nullptr, nullptr, CREATE_WAITABLE_TIMER_HIGH_RESOLUTION,
                                   TIMER_ALL_ACCESS);
    if (timer != nullptr && !FlsSetValue(slot, timer)) {
      CloseHandle(timer);
      timer = nullptr;
    }
  }
  return timer;
}

class HighResolutionSleeper final : public Sleeper {
 public:
  void Sleep(std::chrono::milliseconds duration) override {
    // A waitable timer is waited on by one thread at a time, so each thread keeps its own.
    if (const HANDLE timer = ThreadTimer()) {
      LARGE_INTEGER due{};
      due.QuadPart = -static_cast<LONGLONG>(duration.count()) * 10000;  // relative, 100 ns units
      if (SetWaitableTimer(timer, &due, 0, nullptr, nullptr, FALSE) &&
          WaitForSingleObject(timer, INFINITE) == WAIT_OBJECT_0) {
        return;
      }
    }
    static const OneMillisecondTimerPeriod period;
    ::Sleep(static_cast<DWORD>(duration.count()));
  }
};

}  // namespace

Sleeper& PreciseSleeper() {
  static HighResolutionSleeper sleeper;
  return sleeper;
}

}  // namespace orvo_vpn_win_svc::platform
