#pragma once

#include <filesystem>
#include <string>

namespace orvo_test {

// A fresh directory under the system's temporary directory, removed with everything in it when
// the object goes.
class ScratchDirectory {
 public:
  ScratchDirectory();
  ~ScratchDirectory();
  ScratchDirectory(const ScratchDirectory&) = delete;
  ScratchDirectory& operator=(const ScratchDirectory&) = delete;

  const std::filesystem::path& path() const { return path_; }
  // Creates the file `name` (ASCII) with some content and returns its full path as wide text.
  std::wstring AddFile(const std::string& name) const;

 private:
  std::filesystem::path path_;
};

}  // namespace orvo_test
