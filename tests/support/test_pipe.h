#pragma once

#include <string>

#include "support/scratch_directory.h"

namespace orvo_test {

// A pipe name of the test's own, so tests never meet the real service or each other. On Linux
// its socket lives in a fresh private directory named by ORVO_PIPE_DIR for as long as this
// object exists.
class TestPipe {
 public:
  TestPipe();

  const std::wstring& Name() const { return name_; }

 private:
  ScratchDirectory directory_;
  std::wstring name_;
};

// Sets (or with an empty value, clears) an environment variable for this process.
void SetEnvironment(const std::string& name, const std::string& value);

}  // namespace orvo_test
