#include "service/service_host.h"

#include <chrono>
#include <thread>

#include "platform/log.h"
#include "platform/system_paths.h"
#include "service/command_handlers.h"

namespace orvo_vpn_win_svc {

using namespace platform;

std::wstring ExecutableDirectory(const std::wstring& executable_path) {
  const size_t separator = executable_path.find_last_of(L"\\/");
  return separator == std::wstring::npos ? executable_path : executable_path.substr(0, separator);
}

ServiceHost::Facilities ServiceHost::Facilities::System() {
  return {SystemServiceController(),
          [] { return std::make_unique<Runtime>(); },
          [] { return std::make_unique<IpcServer>(); },
          ExecutablePath,
          ConnectionStore(),
          []() -> RelayProxy& { return RelayProxy::Instance(); }};
}

ServiceHost::ServiceHost(Facilities facilities) : facilities_(std::move(facilities)) {}

int ServiceHost::Run(const std::vector<std::wstring>& arguments) {
  if (arguments.size() >= 2 && arguments[1] == kConsoleSwitch) {
    return RunConsoleMode();
  }
  return RunServiceMode();
}

bool ServiceHost::InitializeRuntime(Runtime& runtime) {
  return runtime.Initialize(ExecutableDirectory(facilities_.executable_path()));
}

int ServiceHost::RunConsoleMode(const std::function<bool()>& keep_running) {
  DebugLine(L"ORVO_SVC: Console mode start\n");
  LogLine("ORVO_SVC: Console mode start\n");
  std::unique_ptr<IpcServer> server = facilities_.make_server();
  std::unique_ptr<Runtime> runtime = facilities_.make_runtime();
  if (!InitializeRuntime(*runtime)) {
    DebugLine(L"ORVO_SVC: (console) Runtime initialization failed\n");
  }
  Runtime* const console_runtime = runtime.get();
  CommandHandlers handlers(
      RunMode::kConsole, [console_runtime] { return console_runtime; }, facilities_.store,
      facilities_.relay);
  handlers.Bind(*server);
  LogLine("ORVO_SVC: Starting IPC server...\n");
  if (!server->Start(facilities_.pipe_name)) {
    DebugLine(L"ORVO_SVC: (console) IPC start failed\n");
    LogLine("ORVO_SVC: IPC start FAILED!\n");
    runtime.reset();
    server.reset();
    return 1;
  }
  DebugLine(L"ORVO_SVC: (console) IPC running\n");
  LogLine("ORVO_SVC: IPC running on pipe\n");
  // Console mode has no orderly shutdown: it runs until the process is ended from outside.
  while (keep_running()) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10000));
  }
  server.reset();
  return 0;
}

int ServiceHost::RunServiceMode() {
  return facilities_.controller->RunDispatcher(kServiceName, [this] { ServiceMain(); }) ? 0 : 1;
}

void ServiceHost::Report(uint32_t state, uint32_t controls_accepted, uint32_t exit_code,
                         uint32_t check_point) {
  ServiceStatusReport report;
  report.current_state = state;
  report.controls_accepted = controls_accepted;
  report.win32_exit_code = exit_code;
  report.check_point = check_point;
  report.wait_hint = 0;
  facilities_.controller->ReportStatus(report);
}

void ServiceHost::ServiceControlHandler(uint32_t control) {
  if (control != kServiceControlStop && control != kServiceControlShutdown) {
    return;
  }
  Report(kServiceStopPending, 0, 0, NextCheckPoint());
  stop_event_.Set();
}

void ServiceHost::ServiceMain() {
  if (!facilities_.controller->RegisterControlHandler(
          kServiceName, [this](uint32_t control) { ServiceControlHandler(control); })) {
    return;
  }
  Report(kServiceStartPending, 0, 0, NextCheckPoint());
  Report(kServiceRunning, kServiceAcceptStop | kServiceAcceptShutdown, 0, 0);

  runtime_ = facilities_.make_runtime();
  server_ = facilities_.make_server();
  if (!InitializeRuntime(*runtime_)) {
    DebugLine(L"ORVO_SVC: (service) Runtime initialization failed\n");
  }
  handlers_ = std::make_unique<CommandHandlers>(
      RunMode::kService, [this] { return runtime_.get(); }, facilities_.store, facilities_.relay);
  handlers_->Bind(*server_);

  uint32_t exit_code = 0;
  if (server_->Start(facilities_.pipe_name)) {
    DebugLine(L"ORVO_SVC: (service) IPC running\n");
    stop_event_.Wait();
    // A connect in progress gives up its waits, so the handler ends soon. Stop waits a while for
    // the listener; destroying the server then waits for a handler that is still running, so
    // the runtime below is never disconnected or destroyed under a handler.
    if (runtime_) {
      runtime_->AbandonConnect();
    }
    std::unique_ptr<IpcServer> server = std::move(server_);
    server->Stop();
    server.reset();
    if (std::unique_ptr<Runtime> runtime = std::move(runtime_)) {
      runtime->Disconnect();
      runtime.reset();
    }
  } else {
    DebugLine(L"ORVO_SVC: (service) IPC start failed\n");
    exit_code = 1;
  }
  Report(kServiceStopped, 0, exit_code, 0);
}

}  // namespace orvo_vpn_win_svc
