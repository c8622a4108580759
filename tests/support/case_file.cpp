#include "support/case_file.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <sstream>

namespace orvo_test {
namespace {

std::string Unescaped(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text.compare(i, 2, "\\x") == 0 && i + 4 <= text.size()) {
      out += static_cast<char>(std::stoi(text.substr(i + 2, 2), nullptr, 16));
      i += 3;
    } else {
      out += text[i];
    }
  }
  return out;
}

}  // namespace

std::string GoldenText(const std::string& name, const std::string& section) {
  std::ifstream in(std::string(ORVO_SOURCE_DIR) + "/tests/golden/" + name, std::ios::binary);
  EXPECT_TRUE(in) << "cannot open " << name;
  std::string text;
  bool inside = section.empty();
  for (std::string line; std::getline(in, line);) {
    if (!section.empty() && line.starts_with("== ")) {
      inside = line == "== " + section;
    } else if (inside && !line.empty() && line[0] != '#') {
      text += line + "\n";
    }
  }
  EXPECT_FALSE(text.empty()) << name << " " << section;
  return text;
}

std::vector<TextCase> ReadCases(const std::string& name) {
  std::istringstream in(GoldenText(name));
  std::vector<TextCase> cases;
  std::string key;
  for (std::string line; std::getline(in, line);) {
    if (line.starts_with("== ")) {
      cases.push_back({line.substr(3), {}});
    } else if (cases.empty()) {
      continue;
    } else if (line[0] == '|') {
      cases.back().fields[key] += Unescaped(line.substr(line.size() > 1 ? 2 : 1)) + "\n";
    } else if (const size_t colon = line.find(':'); colon != std::string::npos) {
      key = line.substr(0, colon);
      cases.back().fields[key] = Unescaped(line.substr(std::min(line.size(), colon + 2)));
    }
  }
  EXPECT_FALSE(cases.empty()) << name;
  return cases;
}

void ForEachRow(
    const std::string& name,
    const std::function<void(const TextCase& section, const std::vector<std::string>& row)>& each) {
  for (const TextCase& section : ReadCases(name)) {
    for (auto [row_name, row] : section.fields) {
      if (row.find(" => ") == std::string::npos) {
        continue;  // a shared field
      }
      SCOPED_TRACE(section.name + ": " + row_name);
      std::vector<std::string> columns;
      for (size_t at; (at = row.find(" => ")) != std::string::npos; row.erase(0, at + 4)) {
        columns.push_back(row.substr(0, at));
      }
      columns.push_back(row);
      columns.resize(std::max<size_t>(columns.size(), 4));
      each(section, columns);
    }
  }
}

void ExpectMatches(const std::string& text, const std::string& expected) {
  if (expected.starts_with("CHECK")) {
    EXPECT_TRUE(MatchesChecks(text, expected));
  } else {
    EXPECT_EQ(text, expected);
  }
}

std::string KeptLines(const std::string& text,
                      const std::function<bool(const std::string&)>& keep) {
  std::istringstream lines(text);
  std::string kept;
  for (std::string line; std::getline(lines, line);) kept += keep(line) ? line + "\n" : "";
  return kept;
}

::testing::AssertionResult MatchesChecks(const std::string& text, const std::string& checks) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  size_t next = 0;  // the first line the next check may match
  std::vector<std::string> forbidden;
  // A failure when a line of [next, end) holds a forbidden text; `before` says what follows.
  const auto none_forbidden = [&](size_t end, const std::string& before) {
    for (size_t i = next; i < end; ++i) {
      for (const std::string& text_not : forbidden) {
        if (lines[i].find(text_not) != std::string::npos) {
          return ::testing::AssertionFailure() << "line " << i + 1 << " holds \"" << text_not
                                               << "\"" << before << " in:\n" << text;
        }
      }
    }
    return ::testing::AssertionSuccess();
  };
  std::istringstream directives(checks);
  for (std::string directive; std::getline(directives, directive);) {
    const size_t colon = directive.find(": ");
    const std::string kind = directive.substr(0, colon);
    const std::string wanted = colon == std::string::npos ? "" : directive.substr(colon + 2);
    size_t at = next;
    if (kind == "CHECK-NOT") {
      forbidden.push_back(wanted);
      continue;
    } else if (kind == "CHECK") {
      while (at < lines.size() && lines[at] != wanted) ++at;
    } else if (kind != "CHECK-NEXT") {
      return ::testing::AssertionFailure() << "not a check: \"" << directive << "\"";
    }
    if (at >= lines.size() || lines[at] != wanted) {
      return ::testing::AssertionFailure() << "no line after line " << next << " matches \""
                                           << directive << "\" in:\n" << text;
    }
    if (auto clean = none_forbidden(at, " before \"" + directive + "\""); !clean) return clean;
    forbidden.clear();
    next = at + 1;
  }
  return none_forbidden(lines.size(), "");
}

}  // namespace orvo_test
