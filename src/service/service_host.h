#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "ipc/ipc_server.h"
#include "platform/service_controller.h"
#include "relay/relay_proxy.h"
#include "runtime/runtime.h"
#include "service/command_handlers.h"
#include "service/stop_event.h"
#include "store/connection_store.h"

namespace orvo_vpn_win_svc {

inline constexpr wchar_t kServiceName[] = L"OrvoVpnWinSvc";
inline constexpr wchar_t kPipeName[] = L"\\\\.\\pipe\\OrvoVpnWinSvc";
inline constexpr wchar_t kConsoleSwitch[] = L"--console";

// The executable's directory: the path cut before its last backslash or slash, or the whole path
// when it has neither. Never ends with a separator.
std::wstring ExecutableDirectory(const std::wstring& executable_path);

// The process entry's two run modes: the service under the service controller, and console mode
// in the foreground. Builds the runtime and the pipe server, binds the handlers, and in service
// mode conducts the conversation with the service controller up to the final stopped state.
class ServiceHost {
 public:
  struct Facilities {
    std::shared_ptr<platform::ServiceController> controller;
    std::function<std::unique_ptr<Runtime>()> make_runtime;
    std::function<std::unique_ptr<IpcServer>()> make_server;
    std::function<std::wstring()> executable_path;
    ConnectionStore store;
    // Asked at every relay command, so the relay proxy is made by its first use.
    CommandHandlers::RelayLookup relay;
    std::wstring pipe_name = kPipeName;

    static Facilities System();
  };

  explicit ServiceHost(Facilities facilities);

  // Mode selection: console mode when the first argument is exactly "--console", otherwise the
  // service dispatcher. Returns the process exit code.
  int Run(const std::vector<std::wstring>& arguments);

  // Console mode. Runs until the process is ended from outside, unless the pipe cannot be
  // started (then 1). `keep_running` exists for tests: it is asked every 10 seconds whether to
  // go on.
  int RunConsoleMode(const std::function<bool()>& keep_running = [] { return true; });

  // Service mode: the dispatcher; 0 when it ran the service, 1 when the process was not started
  // as a service.
  int RunServiceMode();

  // The service's main function and control handler.
  void ServiceMain();
  void ServiceControlHandler(uint32_t control);

 private:
  void Report(uint32_t state, uint32_t controls_accepted, uint32_t exit_code, uint32_t check_point);
  uint32_t NextCheckPoint() { return check_point_++; }
  // Runtime::Initialize with the executable's directory.
  bool InitializeRuntime(Runtime& runtime);

  Facilities facilities_;
  std::atomic<uint32_t> check_point_{1};
  StopEvent stop_event_;
  // Service mode's process-wide runtime and server; the service handlers read the runtime at
  // every call. Written only at start-up and in the teardown, when no listener runs.
  std::unique_ptr<Runtime> runtime_;
  std::unique_ptr<CommandHandlers> handlers_;
  std::unique_ptr<IpcServer> server_;
};

}  // namespace orvo_vpn_win_svc
