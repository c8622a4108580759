#include "platform/service_controller.h"

#include <windows.h>

#include <mutex>

namespace orvo_vpn_win_svc::platform {
namespace {

// The SCM's callbacks carry no context, and a process runs exactly one service, so the
// callables live here for the life of the process.
std::function<void()>& ServiceMainCallable() {
  static std::function<void()> callable;
  return callable;
}

std::function<void(uint32_t)>& ControlHandlerCallable() {
  static std::function<void(uint32_t)> callable;
  return callable;
}

void WINAPI ServiceMainTrampoline(DWORD, LPWSTR*) {
  if (ServiceMainCallable()) {
    ServiceMainCallable()();
  }
}

void WINAPI ControlHandlerTrampoline(DWORD control) {
  if (ControlHandlerCallable()) {
    ControlHandlerCallable()(control);
  }
}

class ServiceControlManager final : public ServiceController {
 public:
  bool RunDispatcher(const std::wstring& service_name,
                     std::function<void()> service_main) override {
    ServiceMainCallable() = std::move(service_main);
    std::wstring name = service_name;
    SERVICE_TABLE_ENTRYW table[] = {{name.data(), &ServiceMainTrampoline}, {nullptr, nullptr}};
    return StartServiceCtrlDispatcherW(table) != FALSE;
  }

  bool RegisterControlHandler(const std::wstring& service_name,
                              std::function<void(uint32_t)> handler) override {
    ControlHandlerCallable() = std::move(handler);
    status_handle_ = RegisterServiceCtrlHandlerW(service_name.c_str(), &ControlHandlerTrampoline);
    return status_handle_ != nullptr;
  }

  void ReportStatus(const ServiceStatusReport& report) override {
    SERVICE_STATUS status{};
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status.dwCurrentState = report.current_state;
    status.dwControlsAccepted = report.controls_accepted;
    status.dwWin32ExitCode = report.win32_exit_code;
    status.dwServiceSpecificExitCode = 0;
    status.dwCheckPoint = report.check_point;
    status.dwWaitHint = report.wait_hint;
    SetServiceStatus(status_handle_, &status);
  }

 private:
  SERVICE_STATUS_HANDLE status_handle_ = nullptr;
};

static_assert(kServiceStopped == SERVICE_STOPPED && kServiceStartPending == SERVICE_START_PENDING &&
              kServiceStopPending == SERVICE_STOP_PENDING && kServiceRunning == SERVICE_RUNNING);
static_assert(kServiceControlStop == SERVICE_CONTROL_STOP &&
              kServiceControlShutdown == SERVICE_CONTROL_SHUTDOWN &&
              kServiceControlInterrogate == SERVICE_CONTROL_INTERROGATE);
static_assert(kServiceAcceptStop == SERVICE_ACCEPT_STOP &&
              kServiceAcceptShutdown == SERVICE_ACCEPT_SHUTDOWN);

}  // namespace

std::shared_ptr<ServiceController> SystemServiceController() {
  static const auto controller = std::make_shared<ServiceControlManager>();
  return controller;
}

}  // namespace orvo_vpn_win_svc::platform
