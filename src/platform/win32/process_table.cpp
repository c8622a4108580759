#include "platform/process_table.h"

#include <windows.h>

#include <tlhelp32.h>

#include "platform/win32/unique_handle.h"

namespace orvo_vpn_win_svc::platform {
namespace {

class Win32OpenedProcess final : public OpenedProcess {
 public:
  explicit Win32OpenedProcess(UniqueHandle process) : process_(std::move(process)) {}

  bool Terminate(uint32_t exit_code) override {
    return TerminateProcess(process_.Get(), exit_code) != FALSE;
  }

  WaitOutcome Wait(std::chrono::milliseconds timeout) override {
    return WaitForHandle(process_.Get(), timeout);
  }

 private:
  UniqueHandle process_;
};

class ToolHelpTable final : public ProcessTable {
 public:
  std::optional<std::vector<ProcessEntry>> Snapshot() override {
    UniqueHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot.Valid()) {
      return std::nullopt;
    }
    std::vector<ProcessEntry> entries;
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot.Get(), &entry); more;
         more = Process32NextW(snapshot.Get(), &entry)) {
      entries.push_back({static_cast<uint32_t>(entry.th32ProcessID), entry.szExeFile});
    }
    return entries;
  }

  std::unique_ptr<OpenedProcess> OpenForTermination(uint32_t id) override {
    UniqueHandle process(OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, id));
    if (!process.Valid()) {
      return nullptr;
    }
    return std::make_unique<Win32OpenedProcess>(std::move(process));
  }
};

}  // namespace

ProcessTable& SystemProcessTable() {
  static ToolHelpTable table;
  return table;
}

}  // namespace orvo_vpn_win_svc::platform
