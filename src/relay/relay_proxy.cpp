#include "relay/relay_proxy.h"

#include <chrono>

#include "platform/log.h"
#include "platform/path_text.h"
#include "platform/system_paths.h"
#include "platform/text_encoding.h"
#include "singbox/config_documents.h"
#include "singbox/singbox_protocol.h"

namespace orvo_vpn_win_svc {
namespace {

using std::chrono::milliseconds;

constexpr int kAttempts = 3;
constexpr int kReadyWaitMs = 30000;
constexpr milliseconds kReaderPause{50};
constexpr milliseconds kWaitPause{100};
constexpr milliseconds kRetryPause{1000};
constexpr milliseconds kStopWait{3000};
constexpr milliseconds kTerminatedWait{2000};

}  // namespace

RelayProxy::Facilities RelayProxy::Facilities::System() {
  return {platform::SystemChildProcesses(), platform::SystemSleeper(), SparedProcesses::Instance(),
          platform::ExecutablePath, &Facilities::SystemResolve};
}

platform::Ipv4Resolution RelayProxy::Facilities::SystemResolve(const std::string& host) {
  return platform::ResolveIpv4(host, platform::SocketKind::kDatagram);
}

RelayProxy& RelayProxy::Instance() {
  static RelayProxy proxy(Facilities::System());
  return proxy;
}

RelayProxy::RelayProxy(Facilities facilities)
    : facilities_(std::move(facilities)), reader_(facilities_.sleeper, facilities_.start_thread) {}

RelayProxy::~RelayProxy() {
  Stop();
}

bool RelayProxy::Start(const RelayProxyRequest& settings, std::string& error) {
  std::lock_guard lock(mutex_);
  LogLine("RELAY: ====== START RELAY PROXY ======\n");
  LogLine("RELAY: Domain: %s\n", settings.relay_domain.c_str());
  LogLine("RELAY: Port: %d\n", settings.relay_port);
  LogLine("RELAY: Local port: %d\n", settings.local_port);
  LogLine("RELAY: Password: [SET] (len=%zu)\n", settings.password.size());
  LogLine("RELAY: OBFS Password: [SET] (len=%zu)\n", settings.obfs_password.size());

  if (running_.load()) {
    if (process_.Alive()) {
      error = "Relay proxy already running";
      LogLine("RELAY: ERROR - already running\n");
      return false;
    }
    // The child ended after it had started (it crashed, or someone ended it): release what is
    // left of it and start anew rather than refusing every start from now on.
    LogLine("RELAY: Previous sing-box has ended, releasing it\n");
    ReleaseAll();
    running_.exchange(false);
  }

  service_dir_ = platform::DirectoryPart(facilities_.executable_path());
  // Logged as UTF-8: a directory outside ASCII must not make the line vanish.
  LogLine("RELAY: Service dir: %s\n", WideToUtf8(service_dir_).c_str());

  LogLine("RELAY: Resolving DNS for %s...\n", settings.relay_domain.c_str());
  RelayConfigInput input;
  input.relay_domain = settings.relay_domain;
  input.relay_port = settings.relay_port;
  input.password = settings.password;
  input.obfs_password = settings.obfs_password;
  input.local_port = settings.local_port;
  if (!ResolveAddress(settings.relay_domain, input.resolved_address, error)) {
    LogLine("RELAY: DNS ERROR - %s\n", error.c_str());
    WipeText(input.password);
    WipeText(input.obfs_password);
    return false;
  }
  LogLine("RELAY: Resolved %s -> %s\n", settings.relay_domain.c_str(),
          input.resolved_address.c_str());

  LogLine("RELAY: Generating sing-box config...\n");
  std::string config = BuildRelayConfig(input);
  WipeText(input.password);
  WipeText(input.obfs_password);
  LogLine("RELAY: Config generated (%zu bytes)\n", config.size());

  LogLine("RELAY: Launching sing-box with stdin config...\n");
  const bool launched = Launch(config, error);
  WipeText(config);
  if (!launched) {
    LogLine("RELAY: ERROR - Failed to launch sing-box: %s\n", error.c_str());
    return false;
  }
  running_.exchange(true);
  LogLine("RELAY: ====== PROXY STARTED on 127.0.0.1:%d ======\n", settings.local_port);
  return true;
}

bool RelayProxy::ResolveAddress(const std::string& host, std::string& address, std::string& error) {
  return platform::FirstIpv4Address(facilities_.resolve(host), host, address, error);
}

bool RelayProxy::Launch(const std::string& config, std::string& error) {
  const std::wstring command_line = SingboxRunCommandLine(SingboxPathIn(service_dir_));
  job_ = facilities_.children.CreateJob();

  for (int attempt = 1; attempt <= kAttempts; ++attempt) {
    LogLine("RELAY: sing-box attempt %d/%d\n", attempt, kAttempts);
    platform::SpawnRequest request;
    request.command_line = command_line;
    request.work_dir = service_dir_;
    request.with_input = true;
    request.pipe_order = platform::PipeOrder::kInputFirst;
    request.die_with_owner = job_ != nullptr;
    platform::SpawnResult spawn = facilities_.children.Spawn(request);
    const std::string code_text = std::to_string(spawn.error);
    if (spawn.failure == platform::SpawnResult::Failure::kInputPipe) {
      error = "Failed to create stdin pipe: " + code_text;
      break;
    }
    if (spawn.failure == platform::SpawnResult::Failure::kOutputPipe) {
      error = "Failed to create stdout pipe: " + code_text;
      break;
    }
    if (spawn.failure == platform::SpawnResult::Failure::kCreateProcess) {
      error = "Failed to launch sing-box for relay proxy: " + code_text;
      break;
    }
    std::shared_ptr<platform::ChildProcess> child = std::move(spawn.child);
    facilities_.spared.Add(child->Id());

    uint32_t write_error = 0;
    if (!child->WriteInput(config, write_error)) {
      error = "Failed to write config to stdin: " + std::to_string(write_error);
      child->CloseInput();
      child->CloseOutput();
      child->Terminate(1);
      child->Wait(kTerminatedWait);
      facilities_.spared.Remove(child->Id());
      break;
    }
    child->CloseInput();
    LogLine("RELAY: Config written to stdin (%lu bytes)\n",
            static_cast<unsigned long>(config.size()));
    if (job_) {
      job_->Assign(*child);
    }
    process_.Set(child);

    if (!reader_.Start(child, ReaderBehaviour())) {
      // Unwatched, nobody would see the child get ready: it is not kept, and not retried.
      error = "Failed to start relay output reader thread";
      child->Terminate(1);
      child->Wait(kTerminatedWait);
      child.reset();
      ReleaseChild();
      break;
    }

    LogLine("RELAY: Waiting for sing-box started signal (max %dms)...\n", kReadyWaitMs);
    int elapsed = 0;
    for (;;) {
      if (reader_.Started()) {
        LogLine("RELAY: Got started signal after %dms\n", elapsed);
        LogLine("RELAY: sing-box started successfully\n");
        return true;
      }
      const std::optional<uint32_t> code = child->ExitCode();
      if (code && *code != platform::kStillActive) {
        LogLine("RELAY: sing-box process died while waiting for started signal\n");
        break;
      }
      facilities_.sleeper.Sleep(kWaitPause);
      elapsed += static_cast<int>(kWaitPause.count());
      if (elapsed % 5000 == 0) {
        LogLine("RELAY: Still waiting for started signal... (%dms elapsed)\n", elapsed);
      }
      if (elapsed >= kReadyWaitMs) {
        LogLine("RELAY: Timeout waiting for started signal after %dms\n", kReadyWaitMs);
        break;
      }
    }

    const std::optional<uint32_t> code = child->ExitCode();
    if (code && *code != platform::kStillActive) {
      error = "Relay sing-box exited with code " + std::to_string(*code);
    } else {
      error = "Relay sing-box did not start within 30 seconds";
    }
    LogLine("RELAY: %s\n", error.c_str());
    reader_.RequestStop();
    child->Terminate(0);
    reader_.Join();
    // Gone before the next attempt, so no attempt leaves a child behind.
    child->Wait(kTerminatedWait);
    child.reset();
    ReleaseChild();

    if (attempt == kAttempts) {
      break;
    }
    LogLine("RELAY: Retrying in 1s...\n");
    facilities_.sleeper.Sleep(kRetryPause);
  }
  job_.reset();
  return false;
}

ChildOutputReader::Behaviour RelayProxy::ReaderBehaviour() {
  ChildOutputReader::Behaviour behaviour;
  behaviour.poll_interval = kReaderPause;
  behaviour.end_when_child_ends = false;
  behaviour.on_output = [](std::string_view chunk) {
    const std::string text(chunk);
    LogLine("%s", text.c_str());
  };
  behaviour.on_ready = [] { LogLine("RELAY: >>> Detected 'sing-box started' signal <<<\n"); };
  return behaviour;
}

void RelayProxy::Stop() {
  std::lock_guard lock(mutex_);
  if (!running_.load()) {
    return;
  }
  ReleaseAll();
  running_.exchange(false);
  LogLine("RELAY: Proxy stopped\n");
}

bool RelayProxy::IsRunning() {
  return running_.load() && process_.Alive();
}

uint32_t RelayProxy::ChildId() const {
  return process_.Id();
}

void RelayProxy::ReleaseAll() {
  reader_.RequestStop();
  if (const std::shared_ptr<platform::ChildProcess> child = process_.Get()) {
    child->Terminate(0);
    child->Wait(kStopWait);
  }
  reader_.Join();
  ReleaseChild();
  job_.reset();
}

void RelayProxy::ReleaseChild() {
  if (const std::shared_ptr<platform::ChildProcess> child = process_.Take()) {
    child->CloseOutput();
    facilities_.spared.Remove(child->Id());
  }
}

}  // namespace orvo_vpn_win_svc
