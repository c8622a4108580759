#pragma once

#include <cerrno>
#include <cstdint>

namespace orvo_vpn_win_svc::wintun {

// The Windows system error codes this library reports. Callers read them the way they read a
// Windows thread's last error: after a call that failed, errno holds one of these values (and
// never a Linux errno value), so the numbers a caller logs mean the same on both systems.
enum WindowsError : uint32_t {
  kErrorSuccess = 0,
  kErrorFileNotFound = 2,   // no adapter of that name, or the device went away
  kErrorAccessDenied = 5,   // no right to create or attach TUN devices
  kErrorInvalidHandle = 6,  // not a live adapter or session handle
  kErrorNotEnoughMemory = 8,
  kErrorGenFailure = 31,        // any other failure of the system
  kErrorHandleEof = 38,         // the session's device has been removed
  kErrorNotSupported = 50,      // no /dev/net/tun
  kErrorInvalidParameter = 87,  // bad name, tunnel type, ring capacity or packet size
  kErrorBufferOverflow = 111,   // the ring has no room for another packet
  kErrorBusy = 170,             // the device already has a session attached
  kErrorAlreadyExists = 183,    // a link of that name exists already
  kErrorNoMoreItems = 259,      // no packet is waiting
};

// The Windows code that says what a Linux errno value says, as near as there is one.
inline uint32_t WindowsErrorFromErrno(int error) {
  switch (error) {
    case EPERM:
    case EACCES:
      return kErrorAccessDenied;
    case ENOENT:
    case ENODEV:
    case ENXIO:
      return kErrorFileNotFound;
    case EEXIST:
      return kErrorAlreadyExists;
    case EBUSY:
      return kErrorBusy;
    case ENOMEM:
    case ENOBUFS:
      return kErrorNotEnoughMemory;
    case EINVAL:
      return kErrorInvalidParameter;
    default:
      return kErrorGenFailure;
  }
}

// Sets the calling thread's last error (errno) to a Windows code.
inline void SetLastWindowsError(uint32_t error) {
  errno = static_cast<int>(error);
}

}  // namespace orvo_vpn_win_svc::wintun
