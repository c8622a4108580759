#include <chrono>
#include <thread>

#include "ipc/ipc_server.h"
#include "platform/log.h"
#include "service/service_entry.h"

namespace orvo_vpn_win_svc {
namespace {

constexpr wchar_t kPipeName[] = L"\\\\.\\pipe\\OrvoVpnWinSvc";
constexpr wchar_t kConsoleSwitch[] = L"--console";

int RunConsoleMode() {
  DebugLine(L"ORVO_SVC: Console mode start\n");
  LogLine("ORVO_SVC: Console mode start\n");
  IpcServer server;
  LogLine("ORVO_SVC: Starting IPC server...\n");
  if (!server.Start(kPipeName)) {
    DebugLine(L"ORVO_SVC: (console) IPC start failed\n");
    LogLine("ORVO_SVC: IPC start FAILED!\n");
    return 1;
  }
  DebugLine(L"ORVO_SVC: (console) IPC running\n");
  LogLine("ORVO_SVC: IPC running on pipe\n");
  // Console mode runs until it is ended from outside; there is no orderly shutdown.
  for (;;) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10000));
  }
}

}  // namespace

int RunServiceProcess(const std::vector<std::wstring>& arguments) {
  if (arguments.size() >= 2 && arguments[1] == kConsoleSwitch) {
    return RunConsoleMode();
  }
  // Service mode comes with the service host; until then it fails as a service started outside
  // the service controller does.
  return 1;
}

}  // namespace orvo_vpn_win_svc
