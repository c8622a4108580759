#include "ipc/ipc_server.h"

#include <system_error>

#include "ipc/command_dispatcher.h"
#include "ipc/legacy_config_parser.h"
#include "platform/log.h"

namespace orvo_vpn_win_svc {
namespace {

constexpr std::string_view kConnectPrefix = "connect:";

}  // namespace

IpcServer::IpcServer(std::shared_ptr<platform::LocalMessagePipeFactory> pipes,
                     std::chrono::milliseconds request_timeout)
    : pipes_(std::move(pipes)), request_timeout_(request_timeout) {}

IpcServer::~IpcServer() {
  Stop();
  // A listener that outlived Stop's wait is still inside a handler that uses this object.
  JoinListener();
}

bool IpcServer::Start(const std::wstring& pipe_name) {
  if (running_.exchange(true)) {
    return false;
  }
  // A listener left over from an earlier Stop that timed out must be gone before a new pipe
  // takes its place.
  JoinListener();

  LogLine("IPC: Creating pipe '%ls'...\n", pipe_name.c_str());
  platform::PipeCreation creation = pipes_->Create(pipe_name);
  if (!creation.pipe) {
    LogLine("IPC: CreateNamedPipeW failed, error %lu\n", static_cast<unsigned long>(creation.error));
    running_ = false;
    return false;
  }
  LogLine("IPC: Pipe created successfully\n");
  pipe_ = std::move(creation.pipe);

  {
    std::lock_guard lock(listener_mutex_);
    listener_done_ = false;
  }
  try {
    thread_ = std::thread([this] { ListenerLoop(); });
  } catch (const std::system_error&) {
    {
      std::lock_guard lock(listener_mutex_);
      listener_done_ = true;
    }
    pipe_.reset();
    running_ = false;
    return false;
  }
  return true;
}

void IpcServer::Stop() {
  if (!running_.exchange(false)) {
    return;
  }
  if (pipe_) {
    pipe_->Shutdown();
  }
  if (!thread_.joinable()) {
    pipe_.reset();
    return;
  }
  std::unique_lock lock(listener_mutex_);
  if (listener_done_cv_.wait_for(lock, kStopWait, [this] { return listener_done_; })) {
    lock.unlock();
    JoinListener();
  }
  // Otherwise a handler is still running; the listener ends after its request and whoever
  // next starts or destroys this server joins it and releases the pipe.
}

void IpcServer::JoinListener() {
  if (thread_.joinable()) {
    thread_.join();
  }
  pipe_.reset();
}

void IpcServer::ListenerLoop() {
  while (running_.load()) {
    const auto wait = pipe_->WaitForClient();
    if (wait == platform::LocalMessagePipe::WaitResult::kShutDown) {
      break;
    }
    if (wait == platform::LocalMessagePipe::WaitResult::kFailed) {
      continue;
    }
    std::optional<std::string> request = pipe_->ReadRequest(kMaxRequestBytes, request_timeout_);
    if (request) {
      pipe_->WriteReply(HandleRequest(*request));
    }
    pipe_->DisconnectClient();
  }
  std::lock_guard lock(listener_mutex_);
  listener_done_ = true;
  listener_done_cv_.notify_all();
}

std::string IpcServer::HandleRequest(const std::string& request) {
  if (!request.empty() && request.front() == '{') {
    return DispatchJsonCommand(*this, request);
  }
  // A handler that throws must not end the listener thread and leave the service deaf to every
  // later client: on the text path the command fails instead.
  try {
    return HandleTextCommand(request);
  } catch (const std::exception&) {
    return request.starts_with(kConnectPrefix) ? "err:connect_failed" : "err";
  }
}

std::string IpcServer::HandleTextCommand(const std::string& request) {
  if (request == "disconnect") {
    if (disconnect_handler) {
      disconnect_handler();
    }
    return "ok";
  }
  if (request.starts_with(kConnectPrefix)) {
    ConnectRequest connect;
    if (!ParseLegacyConfig(std::string_view(request).substr(kConnectPrefix.size()), connect)) {
      return "err:bad_json";
    }
    return connect_handler && connect_handler(connect) ? "ok" : "err:connect_failed";
  }
  if (request == "permission") {
    if (permission_handler) {
      permission_handler();
    }
    return "ok";
  }
  if (request == "status") {
    return status_handler ? status_handler() : "disconnected";
  }
  return "err";
}

}  // namespace orvo_vpn_win_svc
