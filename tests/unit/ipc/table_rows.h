#pragma once

#include <sstream>
#include <string>
#include <vector>

#include "support/case_file.h"

namespace orvo_test {

// A row of a table where each case takes one line: its columns, joined by " => ", and the
// section it stands in. A "== name" line opens a section; its "key: value" lines (and "| text"
// lines, as in ReadCases) say what the rows below share. "\xHH" stands for the byte HH.
struct TableRow {
  TextCase section;
  std::vector<std::string> columns;
  std::string operator[](size_t i) const { return i < columns.size() ? columns[i] : ""; }
};

inline std::string Unescaped(std::string text) {
  for (size_t at = text.find("\\x"); at != std::string::npos; at = text.find("\\x", at + 1)) {
    text.replace(at, 4, 1, static_cast<char>(std::stoi(text.substr(at + 2, 2), nullptr, 16)));
  }
  return text;
}

inline std::vector<TableRow> ReadRows(const std::string& name) {
  std::vector<TableRow> rows;
  TextCase section;
  std::string key;
  std::istringstream lines(GoldenText(name));
  for (std::string line; std::getline(lines, line);) {
    if (line.starts_with("== ")) {
      section = {line.substr(3), {}};
    } else if (line.starts_with("| ")) {
      section.fields[key] += Unescaped(line.substr(2)) + "\n";
    } else if (line.find(" => ") == std::string::npos) {
      key = line.substr(0, line.find(':'));
      section.fields[key] = Unescaped(line.substr(std::min(line.size(), key.size() + 2)));
    } else {
      rows.push_back({section, {}});
      for (size_t from = 0, to = 0; to != std::string::npos; from = to + 4) {
        to = line.find(" => ", from);
        rows.back().columns.push_back(Unescaped(line.substr(from, to - from)));
      }
    }
  }
  return rows;
}

}  // namespace orvo_test
