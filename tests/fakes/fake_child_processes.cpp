#include "fakes/fake_child_processes.h"

#include "platform/text_encoding.h"

namespace orvo_test {
namespace {

namespace platform = orvo_vpn_win_svc::platform;

class FakeChildProcess final : public platform::ChildProcess {
 public:
  FakeChildProcess(FakeChildProcesses& owner, std::shared_ptr<FakeChild> child,
                   std::optional<uint32_t> write_error)
      : owner_(owner), child_(std::move(child)), write_error_(write_error) {}

  uint32_t Id() const override { return child_->id; }

  std::optional<uint32_t> ExitCode() override {
    std::lock_guard lock(child_->mutex);
    return child_->exit_code;
  }

  std::optional<size_t> OutputWaiting() override {
    std::lock_guard lock(child_->mutex);
    if (child_->output_closed) {
      return std::nullopt;
    }
    if (child_->output.empty()) {
      if (child_->exit_code != platform::kStillActive) {
        return std::nullopt;  // the child is gone and the pipe is drained: broken
      }
      return 0;
    }
    return child_->output.front().size();
  }

  std::string ReadOutput(size_t max_bytes) override {
    std::lock_guard lock(child_->mutex);
    if (child_->output.empty()) {
      return {};
    }
    std::string chunk = child_->output.front().substr(0, max_bytes);
    child_->output.front().erase(0, chunk.size());
    if (child_->output.front().empty()) {
      child_->output.pop_front();
    }
    return chunk;
  }

  void CloseOutput() override {
    {
      std::lock_guard lock(child_->mutex);
      if (child_->output_closed) {
        return;
      }
      child_->output_closed = true;
    }
    owner_.Note("close output " + std::to_string(child_->id));
  }

  bool WriteInput(std::string_view data, uint32_t& error) override {
    if (write_error_) {
      owner_.Note("write " + std::to_string(child_->id) + " failed");
      error = *write_error_;
      return false;
    }
    {
      std::lock_guard lock(child_->mutex);
      child_->input.append(data);
    }
    owner_.Note("write " + std::to_string(child_->id) + " " + std::to_string(data.size()) +
                " bytes");
    return true;
  }

  void CloseInput() override {
    if (!input_closed_) {
      input_closed_ = true;
      owner_.Note("close input " + std::to_string(child_->id));
    }
  }

  bool Terminate(uint32_t exit_code) override {
    owner_.Note("terminate " + std::to_string(child_->id) + " code " + std::to_string(exit_code));
    std::lock_guard lock(child_->mutex);
    if (child_->exit_code != platform::kStillActive) {
      return false;
    }
    child_->exit_code = exit_code;
    return true;
  }

  platform::WaitOutcome Wait(std::chrono::milliseconds) override {
    std::lock_guard lock(child_->mutex);
    return child_->exit_code == platform::kStillActive ? platform::WaitOutcome::kTimedOut
                                                       : platform::WaitOutcome::kEnded;
  }

 private:
  FakeChildProcesses& owner_;
  std::shared_ptr<FakeChild> child_;
  std::optional<uint32_t> write_error_;
  bool input_closed_ = false;
};

class FakeJob final : public platform::ChildJob {
 public:
  explicit FakeJob(FakeChildProcesses& owner) : owner_(owner) {}
  bool Assign(platform::ChildProcess& child) override {
    owner_.Note("assign " + std::to_string(child.Id()));
    return true;
  }

 private:
  FakeChildProcesses& owner_;
};

}  // namespace

void FakeChild::End(uint32_t code) {
  std::lock_guard lock(mutex);
  exit_code = code;
}

platform::SpawnResult FakeChildProcesses::Spawn(const platform::SpawnRequest& request) {
  Note("spawn " + orvo_vpn_win_svc::WideToUtf8(request.command_line) +
       " | dir=" + orvo_vpn_win_svc::WideToUtf8(request.work_dir) +
       " input=" + (request.with_input ? "yes" : "no") + " order=" +
       (request.pipe_order == platform::PipeOrder::kOutputFirst ? "output-first" : "input-first") +
       " die_with_owner=" + (request.die_with_owner ? "yes" : "no"));
  FakeChildScript script;
  {
    std::lock_guard lock(mutex_);
    if (!scripts.empty()) {
      script = scripts.front();
      scripts.pop_front();
    }
  }
  platform::SpawnResult result;
  result.failure = script.failure;
  result.error = script.error;
  // Process creation fails after the pipes exist; pipe failures come before the hook.
  const bool pipes_made = script.failure == platform::SpawnResult::Failure::kNone ||
                          script.failure == platform::SpawnResult::Failure::kCreateProcess;
  if (pipes_made && request.before_process_creation) {
    request.before_process_creation();
  }
  if (script.failure != platform::SpawnResult::Failure::kNone) {
    return result;
  }
  auto child = std::make_shared<FakeChild>();
  {
    std::lock_guard lock(mutex_);
    child->id = next_id_++;
    children_.push_back(child);
  }
  child->exit_code = script.exit_code.value_or(platform::kStillActive);
  child->output.assign(script.output.begin(), script.output.end());
  result.child = std::make_unique<FakeChildProcess>(*this, child, script.write_error);
  return result;
}

std::unique_ptr<platform::ChildJob> FakeChildProcesses::CreateJob() {
  Note("job");
  return std::make_unique<FakeJob>(*this);
}

std::shared_ptr<FakeChild> FakeChildProcesses::LastChild() {
  std::lock_guard lock(mutex_);
  return children_.empty() ? nullptr : children_.back();
}

}  // namespace orvo_test
