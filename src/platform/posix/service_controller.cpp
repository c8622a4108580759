#include "platform/service_controller.h"

#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>

#include "platform/posix/file_descriptor.h"

namespace orvo_vpn_win_svc::platform {
namespace {

// How often the dispatcher looks whether the service has stopped while it waits for signals.
constexpr long kSignalPollNanoseconds = 100'000'000;

// systemd's view of a service: a notification socket that takes "KEY=value" lines.
class SystemdServiceController final : public ServiceController {
 public:
  bool RunDispatcher(const std::wstring&, std::function<void()> service_main) override {
    const char* socket = std::getenv("NOTIFY_SOCKET");
    if (socket == nullptr || *socket == '\0') {
      return false;  // not started by a service manager, as outside the SCM on Windows
    }
    notify_socket_ = socket;
    // SIGTERM and SIGINT are the stop control. They are blocked before the service starts its
    // threads, so they reach only the dispatcher's sigtimedwait below.
    sigset_t stops;
    sigemptyset(&stops);
    sigaddset(&stops, SIGTERM);
    sigaddset(&stops, SIGINT);
    sigset_t previous;
    pthread_sigmask(SIG_BLOCK, &stops, &previous);

    std::atomic<bool> stopped{false};
    std::thread service([&] {
      service_main();
      stopped = true;
    });
    // A stop that arrives before the service has registered its handler waits for the handler
    // rather than being dropped with the signal that brought it.
    int pending_stops = 0;
    while (!stopped) {
      const timespec poll = {0, kSignalPollNanoseconds};
      if (sigtimedwait(&stops, nullptr, &poll) > 0) {
        ++pending_stops;
      }
      for (const auto handler = ControlHandler(); handler && pending_stops > 0; --pending_stops) {
        handler(kServiceControlStop);
      }
    }
    service.join();
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    return true;
  }

  bool RegisterControlHandler(const std::wstring&, std::function<void(uint32_t)> handler) override {
    if (notify_socket_.empty()) {
      return false;
    }
    std::lock_guard lock(handler_mutex_);
    control_handler_ = std::move(handler);
    return true;
  }

  void ReportStatus(const ServiceStatusReport& report) override {
    std::string message;
    switch (report.current_state) {
      case kServiceStartPending:
        message = "STATUS=start pending, check point " + std::to_string(report.check_point);
        break;
      case kServiceRunning:
        message = "READY=1\nSTATUS=running";
        break;
      case kServiceStopPending:
        message =
            "STOPPING=1\nSTATUS=stop pending, check point " + std::to_string(report.check_point);
        break;
      default:
        message = "STATUS=stopped, exit code " + std::to_string(report.win32_exit_code);
        break;
    }
    Notify(message);
  }

 private:
  void Notify(const std::string& message) const {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (notify_socket_.size() >= sizeof(address.sun_path)) {
      return;
    }
    std::memcpy(address.sun_path, notify_socket_.data(), notify_socket_.size());
    if (address.sun_path[0] == '@') {
      address.sun_path[0] = '\0';  // an abstract socket name
    }
    const auto length =
        static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + notify_socket_.size());
    FileDescriptor socket(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (socket.Valid()) {
      (void)::sendto(socket.Get(), message.data(), message.size(), MSG_NOSIGNAL,
                     reinterpret_cast<const sockaddr*>(&address), length);
    }
  }

  // The handler is registered on the service's thread and called on the dispatcher's.
  std::function<void(uint32_t)> ControlHandler() {
    std::lock_guard lock(handler_mutex_);
    return control_handler_;
  }

  std::string notify_socket_;
  std::mutex handler_mutex_;
  std::function<void(uint32_t)> control_handler_;
};

}  // namespace

std::shared_ptr<ServiceController> SystemServiceController() {
  static const auto controller = std::make_shared<SystemdServiceController>();
  return controller;
}

}  // namespace orvo_vpn_win_svc::platform
