#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "singbox/readiness_scanner.h"

namespace orvo_vpn_win_svc {
namespace {

bool SeenAfter(const std::vector<std::string>& chunks) {
  ReadinessScanner scanner;
  bool seen = false;
  for (const std::string& chunk : chunks) {
    seen = scanner.Feed(chunk);
  }
  return seen;
}

TEST(ReadinessScanner, FindsTheTextWhereverTheOutputIsCut) {
  const std::string line = "INFO[0000] sing-box started (0.12s)\n";
  for (size_t cut = 0; cut <= line.size(); ++cut) {
    EXPECT_TRUE(SeenAfter({line.substr(0, cut), line.substr(cut)})) << "cut at " << cut;
  }
  EXPECT_TRUE(SeenAfter({"sing", "-box st", "arted"}));
  EXPECT_TRUE(SeenAfter({"x", "", "sing-box started", "later output"}));
}

TEST(ReadinessScanner, DoesNotTakeNearMisses) {
  EXPECT_FALSE(SeenAfter({"sing-box start"}));
  EXPECT_FALSE(SeenAfter({"sing-box", " ", "Started"}));
  EXPECT_FALSE(SeenAfter({"sing-box sta", "xrted"}));
  EXPECT_FALSE(SeenAfter({"sing-box startes"}));
}

}  // namespace
}  // namespace orvo_vpn_win_svc
