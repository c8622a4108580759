#pragma once

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "support/case_file.h"

namespace orvo_test {

// Calls `each` for every row of the table `name`: a case file (ReadCases) whose "== " sections
// hold rows "row name: column => column => ..." (names unique within their section) beside the
// fields their rows share. Columns a row leaves out at its end are empty, up to the fourth.
inline void ForEachRow(
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

}  // namespace orvo_test
