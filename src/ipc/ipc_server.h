#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "ipc/request_records.h"
#include "platform/local_message_pipe.h"

namespace orvo_vpn_win_svc {

// The service's only door to its clients: one local message pipe served by one listener thread.
// Each client writes one request, reads one reply and is disconnected.
class IpcServer {
 public:
  // Requests are at most this long; a longer message gets no reply.
  static constexpr size_t kMaxRequestBytes = 8191;
  // A client that has connected but not written its request within this time is disconnected,
  // so an idle or hostile local client cannot hold the only instance and lock others out.
  static constexpr std::chrono::milliseconds kDefaultRequestTimeout{5000};
  // How long Stop waits for the listener before returning.
  static constexpr std::chrono::milliseconds kStopWait{3000};

  explicit IpcServer(
      std::shared_ptr<platform::LocalMessagePipeFactory> pipes = platform::SystemMessagePipes(),
      std::chrono::milliseconds request_timeout = kDefaultRequestTimeout);
  ~IpcServer();
  IpcServer(const IpcServer&) = delete;
  IpcServer& operator=(const IpcServer&) = delete;

  // Creates the pipe and starts the listener. False when already running, when the pipe cannot
  // be created, or when the listener thread cannot be started.
  bool Start(const std::wstring& pipe_name);
  // Ends serving and frees the pipe name. Waits at most kStopWait for the listener; a listener
  // still inside a handler then finishes that request and ends (the destructor waits for it).
  void Stop();

  bool IsRunning() const { return running_.load(); }

  // Handler slots, assigned by the service host before Start and left alone while running.
  std::function<bool(const ConnectRequest&)> connect_handler;
  std::function<void()> disconnect_handler;
  std::function<void()> permission_handler;
  std::function<std::string()> status_handler;
  std::function<bool(const Hysteria2ConnectRequest&, std::string&)> hysteria2_connect_handler;
  std::function<std::string()> connection_info_handler;
  std::function<void(const KillSwitchRequest&)> kill_switch_handler;
  std::function<bool()> kill_switch_status_handler;
  std::function<bool(const RelayProxyRequest&, std::string&)> start_relay_proxy_handler;
  std::function<void()> stop_relay_proxy_handler;
  std::function<bool()> relay_proxy_running_handler;

  // The reply to one request, exactly as the listener would write it. Public so that tests and
  // fuzzers drive the routing without a transport.
  std::string HandleRequest(const std::string& request);

 private:
  std::string HandleTextCommand(const std::string& request);
  void ListenerLoop();
  void JoinListener();

  std::shared_ptr<platform::LocalMessagePipeFactory> pipes_;
  std::chrono::milliseconds request_timeout_;
  std::unique_ptr<platform::LocalMessagePipe> pipe_;
  std::thread thread_;
  std::atomic<bool> running_{false};

  std::mutex listener_mutex_;
  std::condition_variable listener_done_cv_;
  bool listener_done_ = true;
};

}  // namespace orvo_vpn_win_svc
