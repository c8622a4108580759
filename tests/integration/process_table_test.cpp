// The process table on the real system: Tool Help under Wine, /proc on Linux.
#include "platform/process_table.h"

#include <gtest/gtest.h>

#include "platform/singbox_image.h"
#include "singbox/singbox_protocol.h"
#include "support/stand_in.h"

namespace orvo_vpn_win_svc {
namespace {

TEST(ProcessTable, FindsTheStandInByImageNameAndEndsIt) {
  const platform::SpawnRequest request = orvo_test::StandInRequest();
  auto spawn = platform::SystemChildProcesses().Spawn(request);
  ASSERT_TRUE(spawn.child);
  const uint32_t id = spawn.child->Id();

  const auto snapshot = platform::SystemProcessTable().Snapshot();
  ASSERT_TRUE(snapshot);
  bool found = false;
  for (const auto& entry : *snapshot) {
    if (entry.id == id) {
      found = true;
      EXPECT_TRUE(platform::SameImageName(entry.image_name, platform::SingboxImageName()))
          << "image name seen: " << std::string(entry.image_name.begin(), entry.image_name.end());
    }
  }
  EXPECT_TRUE(found);

  auto opened = platform::SystemProcessTable().OpenForTermination(id);
  ASSERT_TRUE(opened);
  EXPECT_EQ(opened->Wait(std::chrono::milliseconds(50)), platform::WaitOutcome::kTimedOut);
  EXPECT_TRUE(opened->Terminate(0));
  EXPECT_EQ(opened->Wait(std::chrono::milliseconds(10000)), platform::WaitOutcome::kEnded);
  EXPECT_EQ(spawn.child->Wait(std::chrono::milliseconds(10000)), platform::WaitOutcome::kEnded);
}

TEST(ProcessTable, ImageNamesMatchWholeAndWithoutRegardToCase) {
  EXPECT_TRUE(platform::SameImageName(L"SING-BOX.EXE", L"sing-box.exe"));
  EXPECT_TRUE(platform::SameImageName(L"Sing-Box", L"sing-box"));
  EXPECT_FALSE(platform::SameImageName(L"sing-box.exe.old", L"sing-box.exe"));
  EXPECT_FALSE(platform::SameImageName(L"my-sing-box.exe", L"sing-box.exe"));
  EXPECT_FALSE(platform::SameImageName(L"", L"sing-box.exe"));
}

}  // namespace
}  // namespace orvo_vpn_win_svc
