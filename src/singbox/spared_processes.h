#pragma once

#include <cstdint>
#include <mutex>
#include <vector>

namespace orvo_vpn_win_svc {

// Process ids of sing-box children the service itself keeps running on purpose (the relay
// proxy's), which the clean-up of lingering copies must leave alone.
class SparedProcesses {
 public:
  static SparedProcesses& Instance();

  void Add(uint32_t id);
  void Remove(uint32_t id);
  bool Contains(uint32_t id) const;

 private:
  mutable std::mutex mutex_;
  std::vector<uint32_t> ids_;
};

}  // namespace orvo_vpn_win_svc
