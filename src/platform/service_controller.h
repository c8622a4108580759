#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace orvo_vpn_win_svc::platform {

// The service states and controls, with the Service Control Manager's values.
enum ServiceState : uint32_t {
  kServiceStopped = 1,
  kServiceStartPending = 2,
  kServiceStopPending = 3,
  kServiceRunning = 4,
};
enum ServiceControl : uint32_t {
  kServiceControlStop = 1,
  kServiceControlInterrogate = 4,
  kServiceControlShutdown = 5,
};
enum ServiceControlsAccepted : uint32_t {
  kServiceAcceptStop = 1,
  kServiceAcceptShutdown = 4,
};

// One status report. The service type (own process) and the service-specific exit code (0) are
// the same in every report and added by the implementation.
struct ServiceStatusReport {
  uint32_t current_state = kServiceStopped;
  uint32_t controls_accepted = 0;
  uint32_t win32_exit_code = 0;
  uint32_t check_point = 0;
  uint32_t wait_hint = 0;
};

// The conversation with whatever runs the process as a service: the Service Control Manager on
// Windows; systemd's conventions on Linux (status to $NOTIFY_SOCKET, SIGTERM and SIGINT as the
// stop control).
class ServiceController {
 public:
  virtual ~ServiceController() = default;

  // Hands `service_main` to the service dispatcher, which runs it on a thread of its own, and
  // returns once the service has stopped. False when the process was not started as a service;
  // `service_main` then never runs.
  virtual bool RunDispatcher(const std::wstring& service_name,
                             std::function<void()> service_main) = 0;
  // Registers the control handler, called with each control code. False when refused.
  virtual bool RegisterControlHandler(const std::wstring& service_name,
                                      std::function<void(uint32_t control)> handler) = 0;
  // Reports the service's status.
  virtual void ReportStatus(const ServiceStatusReport& report) = 0;
};

std::shared_ptr<ServiceController> SystemServiceController();

}  // namespace orvo_vpn_win_svc::platform
