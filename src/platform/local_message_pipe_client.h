#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace orvo_vpn_win_svc::platform {

// The client end of the local message pipe, connected to the server.
class PipeClientConnection {
 public:
  virtual ~PipeClientConnection() = default;
  // Writes one message. False when it could not be written.
  virtual bool Send(std::string_view message) = 0;
  // Reads one message, waiting as long as it takes. Nothing when the server disconnected
  // without a reply.
  virtual std::optional<std::string> Receive() = 0;
};

struct PipeOpening {
  enum class Status {
    kOk,        // connected
    kNotFound,  // no server holds the pipe name
    kBusy,      // the server stayed busy for the whole wait
    kFailed,    // any other failure (see error)
  };
  Status status = Status::kFailed;
  std::unique_ptr<PipeClientConnection> connection;  // set when kOk
  uint32_t error = 0;                                // the system's error code otherwise
  std::string endpoint;  // the pipe or socket path that was tried, for messages
};

// Connects to the pipe `name` (`\\.\pipe\NAME`). A busy pipe is waited for and retried until
// `busy_wait` has passed.
PipeOpening OpenPipeConnection(const std::wstring& name, std::chrono::milliseconds busy_wait);

// The result of one request and its reply.
struct PipeExchange {
  PipeOpening::Status status = PipeOpening::Status::kFailed;
  std::string reply;
  uint32_t error = 0;
  std::string endpoint;
};

// One whole client conversation: connect, send `request`, read the reply.
PipeExchange ExchangePipeMessage(const std::wstring& name, std::string_view request,
                                 std::chrono::milliseconds busy_wait);

}  // namespace orvo_vpn_win_svc::platform
