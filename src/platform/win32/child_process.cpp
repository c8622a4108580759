#include "platform/child_process.h"

#include <windows.h>

#include <vector>

#include "platform/win32/unique_handle.h"

namespace orvo_vpn_win_svc::platform {
namespace {

class Win32ChildProcess final : public ChildProcess {
 public:
  Win32ChildProcess(UniqueHandle process, uint32_t id, UniqueHandle input, UniqueHandle output)
      : process_(std::move(process)),
        id_(id),
        input_(std::move(input)),
        output_(std::move(output)) {}

  uint32_t Id() const override { return id_; }

  std::optional<uint32_t> ExitCode() override {
    DWORD code = 0;
    if (!GetExitCodeProcess(process_.Get(), &code)) {
      return std::nullopt;
    }
    return static_cast<uint32_t>(code);
  }

  std::optional<size_t> OutputWaiting() override {
    if (!output_.Valid()) {
      return std::nullopt;
    }
    DWORD waiting = 0;
    if (!PeekNamedPipe(output_.Get(), nullptr, 0, nullptr, &waiting, nullptr)) {
      return std::nullopt;
    }
    return static_cast<size_t>(waiting);
  }

  std::string ReadOutput(size_t max_bytes) override {
    if (!output_.Valid() || max_bytes == 0) {
      return {};
    }
    std::string buffer(max_bytes, '\0');
    DWORD count = 0;
    if (!ReadFile(output_.Get(), buffer.data(), static_cast<DWORD>(max_bytes), &count, nullptr)) {
      return {};
    }
    buffer.resize(count);
    return buffer;
  }

  void CloseOutput() override { output_.Reset(); }

  bool WriteInput(std::string_view data, uint32_t& error) override {
    DWORD written = 0;
    if (!input_.Valid() ||
        !WriteFile(input_.Get(), data.data(), static_cast<DWORD>(data.size()), &written, nullptr)) {
      error = input_.Valid() ? static_cast<uint32_t>(GetLastError()) : ERROR_INVALID_HANDLE;
      return false;
    }
    return true;
  }

  void CloseInput() override { input_.Reset(); }

  bool Terminate(uint32_t exit_code) override {
    return TerminateProcess(process_.Get(), exit_code) != FALSE;
  }

  WaitOutcome Wait(std::chrono::milliseconds timeout) override {
    return WaitForHandle(process_.Get(), timeout);
  }

  HANDLE NativeHandle() const { return process_.Get(); }

 private:
  UniqueHandle process_;
  uint32_t id_;
  UniqueHandle input_;
  UniqueHandle output_;
};

class KillOnCloseJob final : public ChildJob {
 public:
  explicit KillOnCloseJob(UniqueHandle job) : job_(std::move(job)) {}

  bool Assign(ChildProcess& child) override {
    auto* win32_child = dynamic_cast<Win32ChildProcess*>(&child);
    return win32_child != nullptr &&
           AssignProcessToJobObject(job_.Get(), win32_child->NativeHandle()) != FALSE;
  }

 private:
  UniqueHandle job_;
};

struct PipeEnds {
  UniqueHandle read_end;
  UniqueHandle write_end;
};

// An anonymous pipe with inheritable handles and the default security descriptor; the
// service's own end is then made non-inheritable.
bool MakePipe(PipeEnds& ends, bool service_reads, uint32_t& error) {
  SECURITY_ATTRIBUTES attributes{};
  attributes.nLength = sizeof attributes;
  attributes.bInheritHandle = TRUE;
  attributes.lpSecurityDescriptor = nullptr;
  HANDLE read_end = nullptr;
  HANDLE write_end = nullptr;
  if (!CreatePipe(&read_end, &write_end, &attributes, 0)) {
    error = static_cast<uint32_t>(GetLastError());
    return false;
  }
  ends.read_end = UniqueHandle(read_end);
  ends.write_end = UniqueHandle(write_end);
  SetHandleInformation(service_reads ? read_end : write_end, HANDLE_FLAG_INHERIT, 0);
  return true;
}

class Win32ChildProcesses final : public ChildProcesses {
 public:
  SpawnResult Spawn(const SpawnRequest& request) override {
    SpawnResult result;
    PipeEnds input;
    PipeEnds output;
    const auto make_output = [&] {
      if (!MakePipe(output, true, result.error)) {
        result.failure = SpawnResult::Failure::kOutputPipe;
        return false;
      }
      return true;
    };
    const auto make_input = [&] {
      if (request.with_input && !MakePipe(input, false, result.error)) {
        result.failure = SpawnResult::Failure::kInputPipe;
        return false;
      }
      return true;
    };
    const bool pipes_made = request.pipe_order == PipeOrder::kOutputFirst
                                ? make_output() && make_input()
                                : make_input() && make_output();
    if (!pipes_made) {
      return result;
    }

    if (request.before_process_creation) {
      request.before_process_creation();
    }
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES | STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_HIDE;
    startup.hStdInput = request.with_input ? input.read_end.Get() : nullptr;
    startup.hStdOutput = output.write_end.Get();
    startup.hStdError = output.write_end.Get();

    std::vector<wchar_t> command_line(request.command_line.begin(), request.command_line.end());
    command_line.push_back(L'\0');
    PROCESS_INFORMATION info{};
    if (!CreateProcessW(nullptr, command_line.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW,
                        nullptr, request.work_dir.empty() ? nullptr : request.work_dir.c_str(),
                        &startup, &info)) {
      result.failure = SpawnResult::Failure::kCreateProcess;
      result.error = static_cast<uint32_t>(GetLastError());
      return result;
    }
    CloseHandle(info.hThread);
    result.child = std::make_unique<Win32ChildProcess>(
        UniqueHandle(info.hProcess), static_cast<uint32_t>(info.dwProcessId),
        std::move(input.write_end), std::move(output.read_end));
    return result;
  }

  std::unique_ptr<ChildJob> CreateJob() override {
    UniqueHandle job(CreateJobObjectW(nullptr, nullptr));
    if (!job.Valid()) {
      return nullptr;
    }
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    if (!SetInformationJobObject(job.Get(), JobObjectExtendedLimitInformation, &limits,
                                 sizeof limits)) {
      return nullptr;  // a job that does not kill on close is no safeguard
    }
    return std::make_unique<KillOnCloseJob>(std::move(job));
  }
};

}  // namespace

ChildProcesses& SystemChildProcesses() {
  static Win32ChildProcesses processes;
  return processes;
}

}  // namespace orvo_vpn_win_svc::platform
