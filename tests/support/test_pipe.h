#pragma once

#include <filesystem>
#include <string>

namespace orvo_test {

// A pipe name of the test's own, so tests never meet the real service or each other. On Linux
// its socket lives in a fresh private directory named by ORVO_PIPE_DIR for as long as this
// object exists.
class TestPipe {
 public:
  TestPipe();
  ~TestPipe();
  TestPipe(const TestPipe&) = delete;
  TestPipe& operator=(const TestPipe&) = delete;

  const std::wstring& Name() const { return name_; }

 private:
  std::wstring name_;
  std::filesystem::path directory_;
};

// Sets (or with an empty value, clears) an environment variable for this process.
void SetEnvironment(const std::string& name, const std::string& value);

}  // namespace orvo_test
