#pragma once

// The expected texts and tables of cases kept under tests/golden/, and a filter for the texts
// compared with them.
#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

namespace orvo_test {

// The text of tests/golden/`name`, or with `section` only its lines between "== section" and
// the next "== " line, each with its line feed. Lines starting with "#" are comments and empty
// lines are spacing: both are left out.
std::string GoldenText(const std::string& name, const std::string& section = "");

// A table of cases: each opened by "== name" and followed by "key: value" lines; a "key:" line
// followed by "| text" lines gives a value of several lines, each ended by a line feed. "\xHH"
// stands for the byte HH, so values can carry line ends, NULs and bytes that are no UTF-8.
struct TextCase {
  std::string name;
  std::map<std::string, std::string> fields;
  bool Has(const std::string& key) const { return fields.contains(key); }
  std::string operator[](const std::string& key) const {
    const auto found = fields.find(key);
    return found == fields.end() ? std::string() : found->second;
  }
};

std::vector<TextCase> ReadCases(const std::string& name);

// Calls `each` for every row of the table `name`: a case file (ReadCases) whose "== " sections
// hold rows "row name: column => column => ..." (names unique within their section) beside the
// fields their rows share. Columns a row leaves out at its end are empty, up to the fourth.
void ForEachRow(
    const std::string& name,
    const std::function<void(const TextCase& section, const std::vector<std::string>& row)>& each);

// The lines of `text` that `keep` accepts, each with its line feed.
std::string KeptLines(const std::string& text, const std::function<bool(const std::string&)>& keep);

// Whether `text` holds what `checks` expects, read the way LLVM's FileCheck reads its directives,
// one per line: "CHECK: x" wants a later line that is x, "CHECK-NEXT: x" wants the line right
// after the one matched last (the first line, when nothing was matched yet), and "CHECK-NOT: x"
// wants no line containing x between the lines matched before and after it (or the end). The
// lines between the ones asked for may say anything.
::testing::AssertionResult MatchesChecks(const std::string& text, const std::string& checks);

// Expects `text` to be `expected`: what its checks ask for when it opens with a check (above),
// else its whole text.
void ExpectMatches(const std::string& text, const std::string& expected);

}  // namespace orvo_test
