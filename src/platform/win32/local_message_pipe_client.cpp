#include "platform/local_message_pipe_client.h"

#include <windows.h>

#include <vector>

#include "platform/text_encoding.h"
#include "platform/win32/unique_handle.h"

namespace orvo_vpn_win_svc::platform {
namespace {

class NamedPipeClientConnection final : public PipeClientConnection {
 public:
  explicit NamedPipeClientConnection(UniqueHandle pipe) : pipe_(std::move(pipe)) {}

  bool Send(std::string_view message) override {
    DWORD written = 0;
    return WriteFile(pipe_.Get(), message.data(), static_cast<DWORD>(message.size()), &written,
                     nullptr) != FALSE;
  }

  std::optional<std::string> Receive() override {
    std::string reply;
    std::vector<char> chunk(8192);
    for (;;) {
      DWORD read = 0;
      const BOOL complete =
          ReadFile(pipe_.Get(), chunk.data(), static_cast<DWORD>(chunk.size()), &read, nullptr);
      reply.append(chunk.data(), read);
      if (complete) {
        return reply;
      }
      if (GetLastError() != ERROR_MORE_DATA) {
        return std::nullopt;  // disconnected without a reply
      }
    }
  }

 private:
  UniqueHandle pipe_;
};

}  // namespace

PipeOpening OpenPipeConnection(const std::wstring& name, std::chrono::milliseconds busy_wait) {
  PipeOpening opening;
  opening.endpoint = WideToUtf8(name);
  const ULONGLONG deadline = GetTickCount64() + static_cast<ULONGLONG>(busy_wait.count());
  UniqueHandle pipe;
  for (;;) {
    pipe.Reset(CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                           nullptr));
    if (pipe.Valid()) {
      break;
    }
    opening.error = GetLastError();
    if (opening.error == ERROR_FILE_NOT_FOUND) {
      opening.status = PipeOpening::Status::kNotFound;
      return opening;
    }
    if (opening.error != ERROR_PIPE_BUSY) {
      return opening;
    }
    // The server is serving another client: wait for the instance and try again.
    const ULONGLONG now = GetTickCount64();
    if (now >= deadline) {
      opening.status = PipeOpening::Status::kBusy;
      return opening;
    }
    WaitNamedPipeW(name.c_str(), static_cast<DWORD>(deadline - now));
  }
  DWORD mode = PIPE_READMODE_MESSAGE;
  if (!SetNamedPipeHandleState(pipe.Get(), &mode, nullptr, nullptr)) {
    opening.error = GetLastError();
    return opening;
  }
  opening.error = 0;
  opening.status = PipeOpening::Status::kOk;
  opening.connection = std::make_unique<NamedPipeClientConnection>(std::move(pipe));
  return opening;
}

}  // namespace orvo_vpn_win_svc::platform
