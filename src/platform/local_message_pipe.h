#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace orvo_vpn_win_svc::platform {

// The server end of a local message pipe: one instance, one client at a time, one message in and
// one message out per client. Windows: a named pipe in message mode. Linux: an AF_UNIX
// SOCK_SEQPACKET socket named after the pipe's last path component in $ORVO_PIPE_DIR
// (default /run/orvo-vpn).
class LocalMessagePipe {
 public:
  enum class WaitResult {
    kConnected,  // a client is connected and its request can be read
    kFailed,     // the wait failed (a client that already left, a transient error); wait again
    kShutDown,   // Shutdown was called
  };

  virtual ~LocalMessagePipe() = default;

  // Blocks until a client connects or Shutdown is called.
  virtual WaitResult WaitForClient() = 0;
  // Reads the client's one message. Nothing when the client left, wrote nothing within
  // `timeout`, wrote more than `max_bytes`, or the pipe was shut down. An empty message is an
  // empty string.
  virtual std::optional<std::string> ReadRequest(size_t max_bytes,
                                                 std::chrono::milliseconds timeout) = 0;
  // Writes the reply as one message and returns once the client has read it, or when the
  // request time-out has passed since (a client that never reads does not hold the pipe). A
  // failure is not reported: the client is disconnected either way.
  virtual void WriteReply(std::string_view reply) = 0;
  // Ends the current client's connection.
  virtual void DisconnectClient() = 0;
  // Wakes a WaitForClient or ReadRequest in progress on another thread and makes every later one
  // return at once. Safe to call from any thread, more than once.
  virtual void Shutdown() = 0;
};

struct PipeCreation {
  std::unique_ptr<LocalMessagePipe> pipe;  // empty on failure
  uint32_t error = 0;                      // the system's error code on failure
};

// Creates pipes; tests may supply their own.
class LocalMessagePipeFactory {
 public:
  virtual ~LocalMessagePipeFactory() = default;
  // Creates the pipe `name` (`\\.\pipe\NAME`). Fails when another process holds the name.
  virtual PipeCreation Create(const std::wstring& name) = 0;
};

// The real pipes of this system.
std::shared_ptr<LocalMessagePipeFactory> SystemMessagePipes();

}  // namespace orvo_vpn_win_svc::platform
