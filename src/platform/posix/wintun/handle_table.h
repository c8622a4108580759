#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <unordered_map>

namespace orvo_vpn_win_svc::wintun {

// One sequence of handle values for every table, so an adapter handle is never a session handle.
inline uintptr_t NextHandleValue() {
  static std::atomic<uintptr_t> next{0x10000};
  return next.fetch_add(0x10, std::memory_order_relaxed);
}

// Hands out opaque handles for shared objects. A handle is a number that is never given out
// twice, not an address: a handle that was closed, or one that belongs to another table, is
// simply not found, and a call that is still working with an object keeps it alive while the
// handle is being closed on another thread.
template <typename T>
class HandleTable {
 public:
  void* Add(std::shared_ptr<T> object) {
    const uintptr_t value = NextHandleValue();
    std::unique_lock lock(mutex_);
    objects_.emplace(value, std::move(object));
    return reinterpret_cast<void*>(value);
  }

  std::shared_ptr<T> Find(const void* handle) const {
    std::shared_lock lock(mutex_);
    const auto it = objects_.find(reinterpret_cast<uintptr_t>(handle));
    return it == objects_.end() ? nullptr : it->second;
  }

  // Removes the handle and gives back its object (null for an unknown handle).
  std::shared_ptr<T> Take(const void* handle) {
    std::unique_lock lock(mutex_);
    const auto it = objects_.find(reinterpret_cast<uintptr_t>(handle));
    if (it == objects_.end()) {
      return nullptr;
    }
    std::shared_ptr<T> object = std::move(it->second);
    objects_.erase(it);
    return object;
  }

 private:
  mutable std::shared_mutex mutex_;
  std::unordered_map<uintptr_t, std::shared_ptr<T>> objects_;
};

}  // namespace orvo_vpn_win_svc::wintun
