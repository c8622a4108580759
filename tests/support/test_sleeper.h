#pragma once

#include <chrono>
#include <climits>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <thread>

#include "platform/sleeper.h"

namespace orvo_test {

// A sleeper for the pauses of the code under test, shared by the test's thread (its owner, the
// one that made it) and the threads the code starts:
// - every pause is counted by its length, so a test can check a wait's structure;
// - a pause sleeps for real for its length divided by `divisor`, at least 1 ms so that polling
//   loops still give other threads time (kEveryPauseOneMs: every pause lasts 1 ms);
// - pauses of at least `gate` wait until the test lets one more through or opens the gate for
//   good, so a test counts a long-period timer's passes exactly instead of waiting for them;
// - the owner's pauses can run a hook set for their length (never on other threads, whose pauses
//   may have the same lengths), and can be made to take no time at all.
class TestSleeper final : public orvo_vpn_win_svc::platform::Sleeper {
 public:
  static constexpr int kEveryPauseOneMs = INT_MAX;

  explicit TestSleeper(int divisor = 1,
                       std::chrono::milliseconds gate = std::chrono::milliseconds::max())
      : divisor_(divisor), gate_(gate) {}

  void Sleep(std::chrono::milliseconds duration) override;

  // How many pauses of exactly `duration` were begun.
  int Count(std::chrono::milliseconds duration) const;
  // Lets `passes` more gated pauses end.
  void Allow(int passes);
  // Every gated pause, now and later, ends at once.
  void Open();
  // Runs `hook` before every pause of exactly `duration` that the owner makes.
  void OnOwnerPause(std::chrono::milliseconds duration, std::function<void()> hook);
  // The owner's pauses take no time (for waits that can only time out).
  void MakeOwnerPausesInstant();

 private:
  const int divisor_;
  const std::chrono::milliseconds gate_;
  const std::thread::id owner_ = std::this_thread::get_id();
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::map<long long, int> counts_;
  std::map<long long, std::function<void()>> hooks_;
  int allowed_ = 0;
  bool open_ = false;
  bool owner_instant_ = false;
};

}  // namespace orvo_test
