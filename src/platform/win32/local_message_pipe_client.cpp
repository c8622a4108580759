#include "platform/local_message_pipe_client.h"

#include <windows.h>

#include <vector>

#include "platform/text_encoding.h"
#include "platform/win32/pipe_security.h"
#include "platform/win32/unique_handle.h"

namespace orvo_vpn_win_svc::platform {

PipeExchange ExchangePipeMessage(const std::wstring& name, std::string_view request,
                                 std::chrono::milliseconds busy_wait) {
  PipeExchange exchange;
  exchange.endpoint = WideToUtf8(name);
  const ULONGLONG deadline = GetTickCount64() + static_cast<ULONGLONG>(busy_wait.count());
  UniqueHandle pipe;
  for (;;) {
    pipe.Reset(CreateFileW(name.c_str(), kPipeClientAccess, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    if (pipe.Valid()) {
      break;
    }
    exchange.error = GetLastError();
    if (exchange.error == ERROR_FILE_NOT_FOUND) {
      exchange.status = PipeExchange::Status::kNotFound;
      return exchange;
    }
    if (exchange.error != ERROR_PIPE_BUSY) {
      return exchange;
    }
    // The server is serving another client: wait for the instance and try again.
    const ULONGLONG now = GetTickCount64();
    if (now >= deadline) {
      exchange.status = PipeExchange::Status::kBusy;
      return exchange;
    }
    WaitNamedPipeW(name.c_str(), static_cast<DWORD>(deadline - now));
  }
  DWORD mode = PIPE_READMODE_MESSAGE;
  if (!SetNamedPipeHandleState(pipe.Get(), &mode, nullptr, nullptr)) {
    exchange.error = GetLastError();
    return exchange;
  }
  DWORD written = 0;
  if (!WriteFile(pipe.Get(), request.data(), static_cast<DWORD>(request.size()), &written,
                 nullptr)) {
    exchange.error = GetLastError();
    return exchange;
  }
  std::vector<char> chunk(8192);
  for (;;) {
    DWORD read = 0;
    const BOOL complete =
        ReadFile(pipe.Get(), chunk.data(), static_cast<DWORD>(chunk.size()), &read, nullptr);
    exchange.reply.append(chunk.data(), read);
    if (complete) {
      break;
    }
    if (GetLastError() != ERROR_MORE_DATA) {
      exchange.error = GetLastError();
      exchange.reply.clear();
      return exchange;
    }
  }
  exchange.error = 0;
  exchange.status = PipeExchange::Status::kOk;
  return exchange;
}

}  // namespace orvo_vpn_win_svc::platform
