#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

namespace orvo_vpn_win_svc::platform {

// The client end of the local message pipe: one request, one reply.
struct PipeExchange {
  enum class Status {
    kOk,           // the reply was read
    kNotFound,     // no server holds the pipe name
    kBusy,         // the server stayed busy for the whole wait
    kFailed,       // any other failure (see error)
  };
  Status status = Status::kFailed;
  std::string reply;
  uint32_t error = 0;       // the system's error code when not kOk
  std::string endpoint;     // the pipe or socket path that was tried, for messages
};

// Sends `request` as one message to the pipe `name` (`\\.\pipe\NAME`) and reads the one reply.
// A busy pipe is waited for and retried until `busy_wait` has passed.
PipeExchange ExchangePipeMessage(const std::wstring& name, std::string_view request,
                                 std::chrono::milliseconds busy_wait);

}  // namespace orvo_vpn_win_svc::platform
