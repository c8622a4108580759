#include "fakes/fake_process_table.h"

namespace orvo_test {
namespace {

using orvo_vpn_win_svc::platform::WaitOutcome;

class FakeOpenedProcess final : public orvo_vpn_win_svc::platform::OpenedProcess {
 public:
  FakeOpenedProcess(FakeProcessTable& table, FakeProcess process)
      : table_(table), process_(std::move(process)) {}

  bool Terminate(uint32_t exit_code) override {
    table_.Note("terminate " + std::to_string(process_.id) + " code " + std::to_string(exit_code));
    return true;
  }

  WaitOutcome Wait(std::chrono::milliseconds timeout) override {
    table_.Note("wait " + std::to_string(process_.id) + " " + std::to_string(timeout.count()) +
                "ms");
    return process_.survives ? WaitOutcome::kTimedOut : WaitOutcome::kEnded;
  }

 private:
  FakeProcessTable& table_;
  FakeProcess process_;
};

}  // namespace

std::optional<std::vector<orvo_vpn_win_svc::platform::ProcessEntry>> FakeProcessTable::Snapshot() {
  Note("snapshot");
  std::vector<orvo_vpn_win_svc::platform::ProcessEntry> entries;
  for (const FakeProcess& process : processes) {
    entries.push_back({process.id, process.image_name});
  }
  return entries;
}

std::unique_ptr<orvo_vpn_win_svc::platform::OpenedProcess> FakeProcessTable::OpenForTermination(
    uint32_t id) {
  for (const FakeProcess& process : processes) {
    if (process.id == id) {
      Note("open " + std::to_string(id) + (process.can_open ? "" : " refused"));
      if (!process.can_open) {
        return nullptr;
      }
      return std::make_unique<FakeOpenedProcess>(*this, process);
    }
  }
  Note("open " + std::to_string(id) + " unknown");
  return nullptr;
}

}  // namespace orvo_test
