#pragma once

#include <windows.h>

#include <chrono>
#include <utility>

#include "platform/child_process.h"

namespace orvo_vpn_win_svc::platform {

// Owns one kernel handle and closes it. Both null and INVALID_HANDLE_VALUE mean "none".
class UniqueHandle {
 public:
  UniqueHandle() = default;
  explicit UniqueHandle(HANDLE handle) : handle_(handle) {}
  ~UniqueHandle() { Reset(); }
  UniqueHandle(UniqueHandle&& other) noexcept : handle_(std::exchange(other.handle_, nullptr)) {}
  UniqueHandle& operator=(UniqueHandle&& other) noexcept {
    if (this != &other) {
      Reset(std::exchange(other.handle_, nullptr));
    }
    return *this;
  }
  UniqueHandle(const UniqueHandle&) = delete;
  UniqueHandle& operator=(const UniqueHandle&) = delete;

  HANDLE Get() const { return handle_; }
  bool Valid() const { return handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE; }
  HANDLE Release() { return std::exchange(handle_, nullptr); }
  void Reset(HANDLE handle = nullptr) {
    if (Valid()) {
      CloseHandle(handle_);
    }
    handle_ = handle;
  }

 private:
  HANDLE handle_ = nullptr;
};

// Waits for a process (or any waitable handle) to be signalled.
inline WaitOutcome WaitForHandle(HANDLE handle, std::chrono::milliseconds timeout) {
  switch (WaitForSingleObject(handle, static_cast<DWORD>(timeout.count()))) {
    case WAIT_OBJECT_0:
      return WaitOutcome::kEnded;
    case WAIT_TIMEOUT:
      return WaitOutcome::kTimedOut;
    default:
      return WaitOutcome::kFailed;
  }
}

}  // namespace orvo_vpn_win_svc::platform
