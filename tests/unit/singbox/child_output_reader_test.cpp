#include "singbox/child_output_reader.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>

#include "fakes/fake_child_processes.h"
#include "platform/sleeper.h"
#include "support/poll.h"

namespace orvo_vpn_win_svc {
namespace {

// A waiter that sees the readiness flag logs "Got started signal" next; the reader's own
// "Detected" line must already be out by then, or the two lines swap places in the log.
TEST(ChildOutputReader, ReportsReadinessBeforeAWaiterCanSeeIt) {
  orvo_test::FakeChildProcesses processes;
  processes.scripts.push_back(orvo_test::FakeChildScript::Printing({"INFO sing-box started\n"}));
  std::shared_ptr<platform::ChildProcess> child = processes.Spawn(platform::SpawnRequest{}).child;
  ASSERT_NE(child, nullptr);

  ChildOutputReader reader(platform::SystemSleeper());
  std::atomic<int> ready_calls{0};
  std::atomic<bool> flag_seen_during_report{false};
  ChildOutputReader::Behaviour behaviour;
  behaviour.poll_interval = std::chrono::milliseconds(1);
  behaviour.on_ready = [&] {
    flag_seen_during_report = reader.Started();
    ++ready_calls;
  };
  reader.Start(child, behaviour);
  ASSERT_TRUE(orvo_test::PollUntil([&] { return reader.Started(); }));
  EXPECT_EQ(ready_calls.load(), 1) << "the report is made before the flag is raised";
  EXPECT_FALSE(flag_seen_during_report.load());
  reader.RequestStop();
  reader.Join();
}

}  // namespace
}  // namespace orvo_vpn_win_svc
