#include "singbox/singbox_wrapper.h"

#include <chrono>
#include <string_view>

#include "platform/log.h"
#include "platform/system_paths.h"
#include "singbox/kill_lingering_processes.h"
#include "singbox/singbox_protocol.h"

namespace orvo_vpn_win_svc {
namespace {

using std::chrono::milliseconds;

constexpr milliseconds kReaderPause{100};
constexpr milliseconds kStartPause{500};
constexpr milliseconds kWaitPause{100};
constexpr milliseconds kStopGrace{500};
constexpr milliseconds kStopAfterTerminate{2000};
constexpr milliseconds kVersionWait{3000};
constexpr size_t kVersionReadSize = 255;

// The first line of the version output without trailing carriage returns, line feeds, spaces.
std::string FirstLine(std::string text) {
  const size_t line_end = text.find('\n');
  if (line_end != std::string::npos) {
    text.resize(line_end);
  }
  while (!text.empty() && (text.back() == '\r' || text.back() == '\n' || text.back() == ' ')) {
    text.pop_back();
  }
  return text.empty() ? "unknown" : text;
}

}  // namespace

SingboxWrapper::Facilities SingboxWrapper::Facilities::System() {
  return {platform::SystemChildProcesses(), platform::SystemSleeper(), CleanupFacilities::System()};
}

SingboxWrapper& SingboxWrapper::Instance() {
  static SingboxWrapper wrapper(Facilities::System());
  return wrapper;
}

SingboxWrapper::SingboxWrapper(Facilities facilities)
    : facilities_(facilities), reader_(facilities.sleeper, facilities.start_thread) {}

SingboxWrapper::~SingboxWrapper() {
  Stop();
}

bool SingboxWrapper::Initialize(const std::wstring& service_dir) {
  std::lock_guard lock(mutex_);
  if (initialized_.load()) {
    return true;
  }
  work_dir_ = service_dir;
  exe_path_ = SingboxPathIn(service_dir);
  if (!platform::PathExists(exe_path_)) {
    SetLastError("sing-box.exe not found");
    DebugLine(L"ORVO_SVC: sing-box.exe not found\n");
    return false;
  }
  initialized_.exchange(true);
  DebugLine(L"ORVO_SVC: SingboxWrapper initialized (subprocess mode)\n");
  return true;
}

std::string SingboxWrapper::GetVersion() {
  if (!initialized_.load()) {
    return "not initialized";
  }
  platform::SpawnRequest request;
  request.command_line = SingboxVersionCommandLine(exe_path_);
  request.work_dir = work_dir_;
  request.with_input = false;
  platform::SpawnResult spawn = facilities_.children.Spawn(request);
  if (!spawn.child) {
    return "unknown";
  }
  platform::ChildProcess& child = *spawn.child;
  // Read to the end of the output, but no longer than the wait the child is given: a child that
  // keeps its output open must not hold the service's start-up for ever.
  std::string output;
  const auto deadline = std::chrono::steady_clock::now() + kVersionWait;
  for (;;) {
    const std::optional<size_t> waiting = child.OutputWaiting();
    if (!waiting) {
      break;
    }
    if (*waiting > 0) {
      const std::string chunk = child.ReadOutput(std::min(*waiting, kVersionReadSize));
      if (chunk.empty()) {
        break;
      }
      output += chunk;
      continue;
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      break;
    }
    child.Wait(milliseconds(10));
  }
  child.CloseOutput();
  if (child.Wait(kVersionWait) != platform::WaitOutcome::kEnded) {
    // Nothing is left behind: a version query that outstays its wait is ended.
    child.Terminate(0);
    child.Wait(kVersionWait);
  }
  return FirstLine(std::move(output));
}

bool SingboxWrapper::CreateService(const std::string& config) {
  std::lock_guard lock(mutex_);
  if (!initialized_.load()) {
    SetLastError("SingboxWrapper not initialized");
    return false;
  }
  if (running_.load()) {
    SetLastError("Service already running");
    return false;
  }
  WipeText(config_);
  config_ = config;
  LogLine("ORVO_SVC: Config stored in memory (will pass via stdin)\n");
  DebugLine(L"ORVO_SVC: Config stored in memory\n");
  return true;
}

bool SingboxWrapper::Start() {
  std::lock_guard lock(mutex_);
  if (!initialized_.load()) {
    SetLastError("SingboxWrapper not initialized");
    return false;
  }
  if (running_.load()) {
    SetLastError("Service already running");
    return false;
  }
  if (config_.empty()) {
    SetLastError("No config set - call CreateService first");
    return false;
  }
  // A child that ended on its own left its finished reader, handles and job behind.
  reader_.Join();
  ReleaseChild();
  reader_.ClearStarted();

  KillLingeringProcesses(facilities_.cleanup);

  job_ = facilities_.children.CreateJob();
  if (job_) {
    LogLine("ORVO_SVC: Created Job object for process cleanup\n");
  }

  platform::SpawnRequest request;
  request.command_line = SingboxRunCommandLine(exe_path_);
  request.work_dir = work_dir_;
  request.with_input = true;
  request.pipe_order = platform::PipeOrder::kOutputFirst;
  request.die_with_owner = job_ != nullptr;
  request.before_process_creation = [&request] {
    DebugLine(L"ORVO_SVC: Starting: " + request.command_line + L"\n");
    LogLine("ORVO_SVC: Starting sing-box with stdin config (no file on disk)\n");
  };
  platform::SpawnResult spawn = facilities_.children.Spawn(request);
  switch (spawn.failure) {
    case platform::SpawnResult::Failure::kOutputPipe:
    case platform::SpawnResult::Failure::kInputPipe:
      SetLastError(spawn.failure == platform::SpawnResult::Failure::kOutputPipe
                       ? "Failed to create pipe for stdout"
                       : "Failed to create pipe for stdin");
      job_.reset();
      return false;
    case platform::SpawnResult::Failure::kCreateProcess:
      job_.reset();
      SetLastError("CreateProcess failed with error " + std::to_string(spawn.error));
      DebugLine(L"ORVO_SVC: Failed to start sing-box.exe\n");
      LogLine("ORVO_SVC: CreateProcess failed: %lu\n", static_cast<unsigned long>(spawn.error));
      return false;
    case platform::SpawnResult::Failure::kNone:
      break;
  }
  std::shared_ptr<platform::ChildProcess> child = std::move(spawn.child);

  uint32_t write_error = 0;
  if (!child->WriteInput(config_, write_error)) {
    LogLine("ORVO_SVC: Failed to write config to stdin: %lu\n",
            static_cast<unsigned long>(write_error));
    child->CloseInput();
    child->Terminate(1);
    // Gone before the attempt returns, so a failed start leaves no child behind.
    child->Wait(kStopAfterTerminate);
    child->CloseOutput();
    child.reset();
    job_.reset();
    SetLastError("Failed to write config to stdin");
    return false;  // the configuration stays stored for another attempt
  }
  child->CloseInput();
  LogLine("ORVO_SVC: Config written to stdin (%lu bytes), pipe closed\n",
          static_cast<unsigned long>(config_.size()));
  WipeText(config_);

  const uint32_t pid = child->Id();
  process_.Set(child);
  pid_.store(pid);

  if (job_) {
    if (job_->Assign(*child)) {
      LogLine("ORVO_SVC: Process assigned to job object (PID=%lu)\n",
              static_cast<unsigned long>(pid));
    } else {
      LogLine("ORVO_SVC: Warning - failed to assign process to job object\n");
    }
  }
  LogLine("ORVO_SVC: sing-box process created, PID=%lu, waiting for startup...\n",
          static_cast<unsigned long>(pid));

  running_.exchange(true);
  if (!reader_.Start(child, ReaderBehaviour())) {
    // Unwatched, nobody would see the child get ready or end: it is not kept.
    running_.exchange(false);
    child->Terminate(1);
    child->Wait(kStopAfterTerminate);
    child.reset();
    ReleaseChild();
    SetLastError("Failed to start output reader thread");
    LogLine("ORVO_SVC: sing-box output reader could not be started\n");
    return false;
  }

  facilities_.sleeper.Sleep(kStartPause);

  const std::optional<uint32_t> code = child->ExitCode();
  if (!code || *code == platform::kStillActive) {
    DebugLine(L"ORVO_SVC: sing-box.exe started\n");
    LogLine("ORVO_SVC: sing-box started successfully, PID=%lu\n", static_cast<unsigned long>(pid));
    return true;
  }
  reader_.RequestStop();
  reader_.Join();
  child.reset();
  ReleaseChild();
  running_.exchange(false);
  SetLastError("sing-box exited with code " + std::to_string(*code));
  LogLine("ORVO_SVC: sing-box early exit: %s\n", LastError().c_str());
  return false;
}

ChildOutputReader::Behaviour SingboxWrapper::ReaderBehaviour() {
  ChildOutputReader::Behaviour behaviour;
  behaviour.poll_interval = kReaderPause;
  behaviour.end_when_child_ends = true;
  behaviour.on_output = [](std::string_view chunk) {
    const std::string text(chunk);
    DebugLineNarrow(text);
    LogLine("%s", text.c_str());
  };
  behaviour.on_ready = [] { LogLine("ORVO_SVC: >>> Detected 'sing-box started' signal <<<\n"); };
  behaviour.on_child_ended = [] { DebugLine(L"ORVO_SVC: sing-box.exe exited\n"); };
  behaviour.on_ended_by_itself = [this](uint32_t exit_code) {
    // The child ended on its own; Stop (or the next Start) releases what is left. The flag is
    // down before the handler hears of it.
    running_.exchange(false);
    std::lock_guard lock(handler_mutex_);
    if (handler_) {
      handler_(exit_code);
    }
  };
  return behaviour;
}

bool SingboxWrapper::WaitForStarted(int32_t max_ms) {
  LogLine("ORVO_SVC: Waiting for sing-box started signal (max %dms)...\n", max_ms);
  if (max_ms > 0) {
    // Counts pauses, not clock time, as the progress lines do.
    int64_t elapsed = 0;
    for (;;) {
      if (reader_.Started()) {
        LogLine("ORVO_SVC: Got started signal after %lldms\n", static_cast<long long>(elapsed));
        return true;
      }
      if (!process_.Alive()) {
        LogLine("ORVO_SVC: sing-box process died while waiting for started signal\n");
        return false;
      }
      if (abandoned_.load()) {
        LogLine("ORVO_SVC: No longer waiting for started signal: the service is stopping\n");
        return false;
      }
      facilities_.sleeper.Sleep(kWaitPause);
      elapsed += kWaitPause.count();
      if (elapsed % 5000 == 0) {
        LogLine("ORVO_SVC: Still waiting for started signal... (%lldms elapsed)\n",
                static_cast<long long>(elapsed));
      }
      if (elapsed >= max_ms) {
        break;
      }
    }
  }
  LogLine("ORVO_SVC: Timeout waiting for started signal after %dms\n", max_ms);
  return false;
}

bool SingboxWrapper::IsRunning() {
  return process_.Alive();
}

bool SingboxWrapper::Stop() {
  std::lock_guard lock(mutex_);
  const std::shared_ptr<platform::ChildProcess> child = process_.Get();
  if (!running_.load() && !child) {
    return true;
  }
  reader_.RequestStop();
  if (child && child->Wait(kStopGrace) == platform::WaitOutcome::kTimedOut) {
    child->Terminate(0);
    child->Wait(kStopAfterTerminate);
  }
  // The reader is joined before its pipe and process are closed, so it never reads from a
  // handle that is being closed (it stops within one pause).
  reader_.Join();
  ReleaseChild();
  running_.exchange(false);
  DebugLine(L"ORVO_SVC: sing-box.exe stopped\n");
  return true;
}

std::string SingboxWrapper::LastError() const {
  std::lock_guard lock(error_mutex_);
  return last_error_;
}

uint32_t SingboxWrapper::ChildId() const {
  return pid_.load();
}

std::optional<uint32_t> SingboxWrapper::ExitCode() const {
  const std::shared_ptr<platform::ChildProcess> child = process_.Get();
  if (!child) {
    return std::nullopt;
  }
  const std::optional<uint32_t> code = child->ExitCode();
  if (!code || *code == platform::kStillActive) {
    return std::nullopt;
  }
  return code;
}

void SingboxWrapper::SetEndedByItselfHandler(const void* owner,
                                             std::function<void(uint32_t exit_code)> handler) {
  std::lock_guard lock(handler_mutex_);
  handler_owner_ = owner;
  handler_ = std::move(handler);
}

void SingboxWrapper::ClearEndedByItselfHandler(const void* owner) {
  std::lock_guard lock(handler_mutex_);
  if (handler_owner_ == owner) {
    handler_owner_ = nullptr;
    handler_ = nullptr;
  }
}

void SingboxWrapper::SetLastError(std::string text) {
  std::lock_guard lock(error_mutex_);
  last_error_ = std::move(text);
}

void SingboxWrapper::ReleaseChild() {
  if (const std::shared_ptr<platform::ChildProcess> child = process_.Take()) {
    child->CloseOutput();
  }
  job_.reset();
  pid_.store(0);
}

}  // namespace orvo_vpn_win_svc
