#pragma once

// Tables of cases kept as text under tests/golden/. A file holds cases, each opened by
// "== name" and followed by "key: value" lines; a "key:" line followed by "| text" lines gives a
// value of several lines, each ended by a line feed. "\xHH" stands for the byte HH, so values can
// carry line ends, NULs and bytes that are no UTF-8. Lines starting with "#" are comments.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <string>
#include <vector>

namespace orvo_test {

struct TextCase {
  std::string name;
  std::map<std::string, std::string> fields;
  bool Has(const std::string& key) const { return fields.contains(key); }
  std::string operator[](const std::string& key) const {
    const auto found = fields.find(key);
    return found == fields.end() ? std::string() : found->second;
  }
};

// A case shows as its name where a test names its parameters.
inline void PrintTo(const TextCase& c, std::ostream* out) {
  *out << c.name;
}

inline std::string UnescapeCaseText(const std::string& text) {
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

inline std::vector<TextCase> ReadCases(const std::string& name) {
  std::ifstream in(std::string(ORVO_SOURCE_DIR) + "/tests/golden/" + name, std::ios::binary);
  EXPECT_TRUE(in) << "cannot open " << name;
  std::vector<TextCase> cases;
  std::string line, key;
  while (std::getline(in, line)) {
    if (line.starts_with("== ")) {
      cases.push_back({line.substr(3), {}});
    } else if (cases.empty() || line.empty() || line[0] == '#') {
      continue;
    } else if (line[0] == '|') {
      cases.back().fields[key] += UnescapeCaseText(line.substr(line.size() > 1 ? 2 : 1)) + "\n";
    } else if (const size_t colon = line.find(':'); colon != std::string::npos) {
      key = line.substr(0, colon);
      cases.back().fields[key] = UnescapeCaseText(line.substr(std::min(line.size(), colon + 2)));
    }
  }
  EXPECT_FALSE(cases.empty()) << name;
  return cases;
}

}  // namespace orvo_test
