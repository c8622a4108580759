#include "fakes/fake_process_table.h"

#include <algorithm>

namespace orvo_test {
namespace {

using orvo_vpn_win_svc::platform::WaitOutcome;

class FakeOpenedProcess final : public orvo_vpn_win_svc::platform::OpenedProcess {
 public:
  FakeOpenedProcess(CallRecorder& record, FakeProcess process)
      : record_(record), process_(std::move(process)) {}

  bool Terminate(uint32_t exit_code) override {
    record_.Note("terminate " + std::to_string(process_.id) + " code " + std::to_string(exit_code));
    return true;
  }

  WaitOutcome Wait(std::chrono::milliseconds timeout) override {
    record_.Note("wait " + std::to_string(process_.id) + " " + std::to_string(timeout.count()) +
                 "ms");
    return process_.survives ? WaitOutcome::kTimedOut : WaitOutcome::kEnded;
  }

 private:
  CallRecorder& record_;
  FakeProcess process_;
};

}  // namespace

std::optional<std::vector<orvo_vpn_win_svc::platform::ProcessEntry>> FakeProcessTable::Snapshot() {
  record_.Note("snapshot");
  std::vector<orvo_vpn_win_svc::platform::ProcessEntry> entries;
  for (const FakeProcess& process : processes) {
    entries.push_back({process.id, process.image_name});
  }
  return entries;
}

std::unique_ptr<orvo_vpn_win_svc::platform::OpenedProcess> FakeProcessTable::OpenForTermination(
    uint32_t id) {
  const auto found = std::ranges::find(processes, id, &FakeProcess::id);
  const bool opens = found != processes.end() && found->can_open;
  record_.Note("open " + std::to_string(id) + (opens ? "" : " refused"));
  if (!opens) {
    return nullptr;
  }
  return std::make_unique<FakeOpenedProcess>(record_, *found);
}

}  // namespace orvo_test
