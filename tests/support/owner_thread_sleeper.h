#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <mutex>
#include <thread>

#include "platform/sleeper.h"

namespace orvo_test {

// A sleeper shared by a test's thread (its owner) and threads the code under test starts. Every
// pause lasts 1 ms, so a polling loop still gives other threads time to run; the owner's pauses
// can be made to take no time at all, and can run a hook the test sets for a pause length.
// Hooks never run on other threads, whose pauses may have the same lengths.
class OwnerThreadSleeper final : public orvo_vpn_win_svc::platform::Sleeper {
 public:
  void Sleep(std::chrono::milliseconds duration) override;

  // Runs `hook` before every pause of exactly `duration` that the owner makes.
  void OnOwnerPause(std::chrono::milliseconds duration, std::function<void()> hook);
  // The owner's pauses take no time (for waits that can only time out).
  void MakeOwnerPausesInstant();

 private:
  const std::thread::id owner_ = std::this_thread::get_id();
  std::mutex mutex_;
  std::map<long long, std::function<void()>> hooks_;
  bool owner_instant_ = false;
};

}  // namespace orvo_test
