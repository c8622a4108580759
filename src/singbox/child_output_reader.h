#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string_view>
#include <thread>

#include "platform/child_process.h"
#include "platform/sleeper.h"
#include "platform/thread_starter.h"

namespace orvo_vpn_win_svc {

class ReadinessScanner;

// The thread that drains a sing-box child's output while it runs: it polls the pipe, reads only
// what is waiting (so it never blocks and a stop request ends it within one pause), hands each
// chunk on, and notices the readiness text, also when it arrives cut in two.
class ChildOutputReader {
 public:
  struct Behaviour {
    std::chrono::milliseconds poll_interval{100};
    // End the loop once the child has ended (after draining what it left in the pipe).
    bool end_when_child_ends = false;
    std::function<void(std::string_view chunk)> on_output;
    std::function<void()> on_ready;        // the first time the readiness text is seen
    std::function<void()> on_child_ended;  // with end_when_child_ends, when the child ended
    // The child ended with this exit code and no stop had been requested.
    std::function<void(uint32_t exit_code)> on_ended_by_itself;
  };

  explicit ChildOutputReader(platform::Sleeper& sleeper,
                             platform::ThreadStarter start_thread = platform::StartSystemThread)
      : sleeper_(sleeper), start_thread_(std::move(start_thread)) {}
  ~ChildOutputReader();
  ChildOutputReader(const ChildOutputReader&) = delete;
  ChildOutputReader& operator=(const ChildOutputReader&) = delete;

  // Starts the thread for a new run; clears the stop request and the readiness flag. False when
  // no thread could be created.
  bool Start(std::shared_ptr<platform::ChildProcess> child, Behaviour behaviour);
  void RequestStop() { stop_.exchange(true); }
  bool StopRequested() const { return stop_.load(); }
  // Joins the thread if there is one to join.
  void Join();
  bool Joinable() const { return thread_.joinable(); }

  bool Started() const { return started_.load(); }
  void ClearStarted() { started_.exchange(false); }

 private:
  void Loop(const std::shared_ptr<platform::ChildProcess>& child, const Behaviour& behaviour);
  // Reads one chunk if output is waiting; false when nothing was read.
  bool ReadChunk(platform::ChildProcess& child, const Behaviour& behaviour,
                 ReadinessScanner& scanner);

  platform::Sleeper& sleeper_;
  platform::ThreadStarter start_thread_;
  std::thread thread_;
  std::atomic<bool> stop_{false};
  std::atomic<bool> started_{false};
};

}  // namespace orvo_vpn_win_svc
