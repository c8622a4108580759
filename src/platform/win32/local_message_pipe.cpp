#include "platform/local_message_pipe.h"

#include <windows.h>

#include <sddl.h>

#include <vector>

#include "platform/win32/pipe_security.h"
#include "platform/win32/unique_handle.h"

namespace orvo_vpn_win_svc::platform {
namespace {

constexpr DWORD kBufferSize = 8192;
constexpr DWORD kMaxInstances = 1;
// Pause after an unexpected failure to wait for a client, so a persistent fault cannot make
// the listener spin.
constexpr DWORD kRetryPauseMs = 50;

// One overlapped operation on the pipe that can be abandoned: waits for it to finish, for
// `stop` or for the time-out, and cancels it in the latter two cases.
class PendingIo {
 public:
  explicit PendingIo(HANDLE event) {
    ResetEvent(event);
    overlapped_.hEvent = event;
  }
  OVERLAPPED* Get() { return &overlapped_; }

  enum class Outcome { kDone, kFailed, kStopped, kTimedOut };

  // Call after the operation returned FALSE with ERROR_IO_PENDING.
  Outcome Wait(HANDLE pipe, HANDLE stop, DWORD timeout_ms, DWORD& bytes, DWORD& error) {
    const HANDLE events[2] = {stop, overlapped_.hEvent};
    const DWORD waited = WaitForMultipleObjects(2, events, FALSE, timeout_ms);
    if (waited != WAIT_OBJECT_0 + 1) {
      CancelIoEx(pipe, &overlapped_);
      GetOverlappedResult(pipe, &overlapped_, &bytes, TRUE);
      return waited == WAIT_OBJECT_0 ? Outcome::kStopped : Outcome::kTimedOut;
    }
    return Finish(pipe, bytes, error);
  }

  // The result of a finished operation.
  Outcome Finish(HANDLE pipe, DWORD& bytes, DWORD& error) {
    if (GetOverlappedResult(pipe, &overlapped_, &bytes, FALSE)) {
      return Outcome::kDone;
    }
    error = GetLastError();
    return Outcome::kFailed;
  }

 private:
  OVERLAPPED overlapped_{};
};

class NamedMessagePipe final : public LocalMessagePipe {
 public:
  NamedMessagePipe(UniqueHandle pipe, UniqueHandle stop, UniqueHandle io)
      : pipe_(std::move(pipe)), stop_(std::move(stop)), io_(std::move(io)) {}

  WaitResult WaitForClient() override {
    if (Stopped()) {
      return WaitResult::kShutDown;
    }
    PendingIo io(io_.Get());
    if (ConnectNamedPipe(pipe_.Get(), io.Get())) {
      return WaitResult::kConnected;
    }
    DWORD error = GetLastError();
    DWORD bytes = 0;
    switch (error) {
      case ERROR_PIPE_CONNECTED:
        return WaitResult::kConnected;
      case ERROR_NO_DATA:
        // A client opened the pipe and closed it again before we waited: the instance stays in
        // that state until it is disconnected, so recover it rather than fail again and again.
        DisconnectNamedPipe(pipe_.Get());
        return WaitResult::kFailed;
      case ERROR_IO_PENDING:
        switch (io.Wait(pipe_.Get(), stop_.Get(), INFINITE, bytes, error)) {
          case PendingIo::Outcome::kDone:
            return WaitResult::kConnected;
          case PendingIo::Outcome::kStopped:
            return WaitResult::kShutDown;
          default:
            DisconnectNamedPipe(pipe_.Get());
            return WaitResult::kFailed;
        }
      default:
        if (WaitForSingleObject(stop_.Get(), kRetryPauseMs) == WAIT_OBJECT_0) {
          return WaitResult::kShutDown;
        }
        DisconnectNamedPipe(pipe_.Get());
        return WaitResult::kFailed;
    }
  }

  std::optional<std::string> ReadRequest(size_t max_bytes,
                                         std::chrono::milliseconds timeout) override {
    timeout_ms_ = static_cast<DWORD>(timeout.count());
    std::vector<char> buffer(max_bytes + 1, '\0');
    PendingIo io(io_.Get());
    DWORD bytes = 0;
    DWORD error = 0;
    PendingIo::Outcome outcome;
    if (ReadFile(pipe_.Get(), buffer.data(), static_cast<DWORD>(max_bytes), nullptr, io.Get())) {
      outcome = io.Finish(pipe_.Get(), bytes, error);
    } else if (GetLastError() == ERROR_IO_PENDING) {
      outcome = io.Wait(pipe_.Get(), stop_.Get(), timeout_ms_, bytes, error);
    } else {
      return std::nullopt;  // the client left, or the message is longer than max_bytes
    }
    if (outcome != PendingIo::Outcome::kDone) {
      return std::nullopt;  // ERROR_MORE_DATA (too long), a departed client, time-out, stop
    }
    return std::string(buffer.data(), bytes);
  }

  void WriteReply(std::string_view reply) override {
    PendingIo io(io_.Get());
    DWORD bytes = 0;
    DWORD error = 0;
    if (!WriteFile(pipe_.Get(), reply.data(), static_cast<DWORD>(reply.size()), nullptr,
                   io.Get())) {
      if (GetLastError() != ERROR_IO_PENDING ||
          io.Wait(pipe_.Get(), stop_.Get(), timeout_ms_, bytes, error) !=
              PendingIo::Outcome::kDone) {
        return;
      }
    }
    WaitUntilReplyRead();
  }

  void DisconnectClient() override { DisconnectNamedPipe(pipe_.Get()); }

  void Shutdown() override { SetEvent(stop_.Get()); }

 private:
  bool Stopped() const { return WaitForSingleObject(stop_.Get(), 0) == WAIT_OBJECT_0; }

  // Disconnecting discards whatever the client has not read yet, so wait until it has read the
  // reply: FlushFileBuffers on the server end returns once the client has read everything. It
  // has no time-out of its own, and a client that never reads must not hold the only instance,
  // so it runs on a thread of its own and is cancelled when the time of one request is up or the
  // pipe shuts down (the disconnect that follows would end it as well).
  void WaitUntilReplyRead() {
    UniqueHandle flusher(CreateThread(nullptr, 0, &FlushPipe, pipe_.Get(), 0, nullptr));
    if (!flusher.Valid()) {
      WaitForClientToLeave();
      return;
    }
    const HANDLE events[2] = {stop_.Get(), flusher.Get()};
    if (WaitForMultipleObjects(2, events, FALSE, timeout_ms_) != WAIT_OBJECT_0 + 1) {
      CancelIoEx(pipe_.Get(), nullptr);
      DisconnectNamedPipe(pipe_.Get());
      WaitForSingleObject(flusher.Get(), INFINITE);
    }
  }

  static DWORD WINAPI FlushPipe(void* pipe) {
    FlushFileBuffers(static_cast<HANDLE>(pipe));
    return 0;
  }

  // Without a thread for the flush: give the client the time of one request to read the reply
  // and close its end (a read then fails with a broken pipe).
  void WaitForClientToLeave() {
    char ignored = 0;
    PendingIo io(io_.Get());
    DWORD bytes = 0;
    DWORD error = 0;
    if (!ReadFile(pipe_.Get(), &ignored, 1, nullptr, io.Get()) &&
        GetLastError() == ERROR_IO_PENDING) {
      io.Wait(pipe_.Get(), stop_.Get(), timeout_ms_, bytes, error);
    }
  }

  UniqueHandle pipe_;
  UniqueHandle stop_;
  UniqueHandle io_;
  DWORD timeout_ms_ = 5000;
};

class NamedMessagePipes final : public LocalMessagePipeFactory {
 public:
  PipeCreation Create(const std::wstring& name) override {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(
            kPipeSecurityDescriptor, SDDL_REVISION_1, &descriptor, nullptr)) {
      return {nullptr, GetLastError()};
    }
    SECURITY_ATTRIBUTES attributes{};
    attributes.nLength = sizeof(attributes);
    attributes.lpSecurityDescriptor = descriptor;
    attributes.bInheritHandle = FALSE;
    // FILE_FLAG_FIRST_PIPE_INSTANCE: fail rather than join a pipe someone else created first.
    // PIPE_REJECT_REMOTE_CLIENTS: the service is for this machine's user interface only.
    // One instance at most: the service serves its clients one after another on a single
    // instance, and with the limit set by the first creator no other process can add an
    // instance to the name while the service holds it.
    UniqueHandle pipe(CreateNamedPipeW(
        name.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE,
        PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS,
        kMaxInstances, kBufferSize, kBufferSize, 0, &attributes));
    const DWORD error = GetLastError();
    LocalFree(descriptor);
    if (!pipe.Valid()) {
      return {nullptr, error};
    }
    UniqueHandle stop(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    UniqueHandle io(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!stop.Valid() || !io.Valid()) {
      return {nullptr, GetLastError()};
    }
    return {std::make_unique<NamedMessagePipe>(std::move(pipe), std::move(stop), std::move(io)), 0};
  }
};

}  // namespace

std::shared_ptr<LocalMessagePipeFactory> SystemMessagePipes() {
  static const auto pipes = std::make_shared<NamedMessagePipes>();
  return pipes;
}

}  // namespace orvo_vpn_win_svc::platform
