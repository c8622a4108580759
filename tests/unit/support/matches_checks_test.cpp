// The check reader the transcripts rely on: a check it let through by mistake would let every
// transcript through.
#include <gtest/gtest.h>

#include "support/case_file.h"

namespace orvo_test {
namespace {

TEST(MatchesChecks, AcceptsWhatIsAskedAndRefusesTheRest) {
  const std::string text = "a\nb\nc\nd\n";
  const struct {
    const char* checks;
    bool matches;
  } cases[] = {
      {"CHECK: b\nCHECK: d\n", true},         {"CHECK: d\nCHECK: b\n", false},
      {"CHECK: b\nCHECK-NEXT: c\n", true},    {"CHECK: a\nCHECK-NEXT: c\n", false},
      {"CHECK-NEXT: a\n", true},              {"CHECK-NEXT: b\n", false},
      {"CHECK: a\nCHECK-NOT: b\nCHECK: c\n", false}, {"CHECK: b\nCHECK-NOT: b\n", true},
      {"CHECK: b\nCHECK-NOT: d\n", false},    {"CHECK: \n", false},
      {"CHECK: b\nCHECK-NOT: a\nCHECK: d\n", true},  {"b\n", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(static_cast<bool>(MatchesChecks(text, c.checks)), c.matches) << c.checks;
  }
}

}  // namespace
}  // namespace orvo_test
