#include "fakes/fake_child_processes.h"

#include <utility>

#include "platform/text_encoding.h"

namespace orvo_test {
namespace {

namespace platform = orvo_vpn_win_svc::platform;

class FakeChildProcess final : public platform::ChildProcess {
 public:
  FakeChildProcess(CallRecorder& record, std::shared_ptr<FakeChild> child,
                   std::optional<uint32_t> write_error)
      : record_(record), child_(std::move(child)), write_error_(write_error) {}

  uint32_t Id() const override { return child_->id; }

  std::optional<uint32_t> ExitCode() override {
    std::lock_guard lock(child_->mutex);
    return child_->exit_code;
  }

  std::optional<size_t> OutputWaiting() override {
    std::lock_guard lock(child_->mutex);
    if (child_->output_closed ||
        (child_->output.empty() && child_->exit_code != platform::kStillActive)) {
      return std::nullopt;  // closed, or the child is gone and the pipe drained: broken
    }
    return child_->output.empty() ? 0 : child_->output.front().size();
  }

  // The next chunk, or as much of it as asked for.
  std::string ReadOutput(size_t max_bytes) override {
    std::lock_guard lock(child_->mutex);
    std::string chunk = child_->output.empty() ? "" : child_->output.front().substr(0, max_bytes);
    if (!child_->output.empty() && child_->output.front().erase(0, chunk.size()).empty()) {
      child_->output.pop_front();
    }
    return chunk;
  }

  void CloseOutput() override {
    std::lock_guard lock(child_->mutex);
    child_->output_closed = true;
  }

  bool WriteInput(std::string_view data, uint32_t& error) override {
    if (write_error_) {
      error = *write_error_;
      return false;
    }
    std::lock_guard lock(child_->mutex);
    child_->input.append(data);
    record_.Note("write " + std::to_string(child_->id) + " " + std::to_string(data.size()) +
                 " bytes");
    return true;
  }

  void CloseInput() override { record_.Note("close input " + std::to_string(child_->id)); }

  bool Terminate(uint32_t exit_code) override {
    std::lock_guard lock(child_->mutex);
    if (child_->exit_code != platform::kStillActive) {
      return false;
    }
    child_->exit_code = exit_code;
    return true;
  }

  platform::WaitOutcome Wait(std::chrono::milliseconds) override {
    return ExitCode() == platform::kStillActive ? platform::WaitOutcome::kTimedOut
                                                : platform::WaitOutcome::kEnded;
  }

 private:
  CallRecorder& record_;
  std::shared_ptr<FakeChild> child_;
  std::optional<uint32_t> write_error_;
};

class FakeJob final : public platform::ChildJob {
 public:
  explicit FakeJob(CallRecorder& record) : record_(record) {}
  bool Assign(platform::ChildProcess& child) override {
    record_.Note("assign " + std::to_string(child.Id()));
    return true;
  }

 private:
  CallRecorder& record_;
};

}  // namespace

platform::SpawnResult FakeChildProcesses::Spawn(const platform::SpawnRequest& request) {
  const auto yes = [](bool flag) { return flag ? "yes" : "no"; };
  record_.Note("spawn " + orvo_vpn_win_svc::WideToUtf8(request.command_line) +
               " | dir=" + orvo_vpn_win_svc::WideToUtf8(request.work_dir) +
               " input=" + yes(request.with_input) + " order=" +
               (request.pipe_order == platform::PipeOrder::kOutputFirst ? "output-first"
                                                                         : "input-first") +
               " die_with_owner=" + yes(request.die_with_owner));
  std::lock_guard lock(mutex_);
  const FakeChildScript script = scripts.empty() ? FakeChildScript{} : scripts.front();
  if (!scripts.empty()) {
    scripts.pop_front();
  }
  using Failure = platform::SpawnResult::Failure;
  // Process creation fails after the pipes exist; pipe failures come before the hook.
  if ((script.failure == Failure::kNone || script.failure == Failure::kCreateProcess) &&
      request.before_process_creation) {
    request.before_process_creation();
  }
  if (script.failure != Failure::kNone) {
    return {nullptr, script.failure, script.error};
  }
  last_child_ = std::make_shared<FakeChild>();
  last_child_->id = next_id_++;
  last_child_->exit_code = script.exit_code.value_or(platform::kStillActive);
  last_child_->output.assign(script.output.begin(), script.output.end());
  return {std::make_unique<FakeChildProcess>(record_, last_child_, script.write_error)};
}

std::unique_ptr<platform::ChildJob> FakeChildProcesses::CreateJob() {
  record_.Note("job");
  return std::make_unique<FakeJob>(record_);
}

std::shared_ptr<FakeChild> FakeChildProcesses::LastChild() {
  std::lock_guard lock(mutex_);
  return last_child_;
}

}  // namespace orvo_test
