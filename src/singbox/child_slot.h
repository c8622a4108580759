#pragma once

#include <cstdint>
#include <memory>
#include <mutex>

#include "platform/child_process.h"

namespace orvo_vpn_win_svc {

// Holds the current sing-box child of a runner. The reader thread and the lock-free queries
// (is it running?) read it while the owner replaces or drops it, so it is swapped under a lock
// of its own that is never held across a wait.
class ChildSlot {
 public:
  std::shared_ptr<platform::ChildProcess> Get() const;
  void Set(std::shared_ptr<platform::ChildProcess> child);
  // Empties the slot and hands back what was in it.
  std::shared_ptr<platform::ChildProcess> Take();

  // A child is held and its exit code reads as still active.
  bool Alive() const;
  // The held child's process id, 0 when there is none.
  uint32_t Id() const;

 private:
  mutable std::mutex mutex_;
  std::shared_ptr<platform::ChildProcess> child_;
};

}  // namespace orvo_vpn_win_svc
