#pragma once

#include <chrono>
#include <climits>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>

#include "platform/monotonic_clock.h"
#include "platform/sleeper.h"

namespace orvo_test {

// The time the code under test sees: a monotonic clock that moves only when something pauses on
// it, and the sleeper it pauses with, shared by the test's thread (its owner, the one that made
// it) and the threads the code starts:
// - every pause moves the clock on by its length at once and is recorded by its length, so a
//   test sees minutes of retries in no time, reads exact elapsed times and checks a wait's
//   structure;
// - with a `divisor` a pause also sleeps for real for its length divided by it, at least 1 ms,
//   so that threads the test does not drive get their time (kEveryPauseOneMs: every pause lasts
//   1 ms); kInstant pauses take no real time;
// - pauses of at least `gate` wait until the test lets one more through or opens the gate for
//   good, so a test counts a long-period timer's passes exactly instead of waiting for them;
// - the owner's pauses can run a hook set for their length (never on other threads, whose pauses
//   may have the same lengths), and can be made to take no real time.
class TestClock final : public orvo_vpn_win_svc::platform::MonotonicClock,
                        public orvo_vpn_win_svc::platform::Sleeper {
 public:
  static constexpr int kInstant = 0;
  static constexpr int kEveryPauseOneMs = INT_MAX;

  explicit TestClock(int divisor = kInstant,
                     std::chrono::milliseconds gate = std::chrono::milliseconds::max())
      : divisor_(divisor), gate_(gate) {}

  std::chrono::steady_clock::time_point Now() const override;
  void Sleep(std::chrono::milliseconds duration) override;

  // How many pauses of exactly `duration` were begun.
  int Count(std::chrono::milliseconds duration) const;
  // The pauses since the last call, in milliseconds, separated by spaces ("500 200 200 300").
  std::string TakePauses();
  // Lets `passes` more gated pauses end.
  void Allow(int passes);
  // Every gated pause, now and later, ends at once.
  void Open();
  // Runs `hook` after the clock has moved, on every pause of exactly `duration` the owner makes.
  void OnOwnerPause(std::chrono::milliseconds duration, std::function<void()> hook);
  // The owner's pauses take no real time (for waits that can only time out).
  void MakeOwnerPausesInstant();

 private:
  const int divisor_;
  const std::chrono::milliseconds gate_;
  const std::thread::id owner_ = std::this_thread::get_id();
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::chrono::steady_clock::time_point now_{std::chrono::hours(1)};
  std::string pauses_;
  std::map<long long, int> counts_;
  std::map<long long, std::function<void()>> hooks_;
  int allowed_ = 0;
  bool open_ = false;
  bool owner_instant_ = false;
};

}  // namespace orvo_test
