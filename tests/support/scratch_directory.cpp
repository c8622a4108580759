#include "support/scratch_directory.h"

#include <atomic>
#include <chrono>
#include <fstream>
#include <system_error>

#include "platform/text_encoding.h"

namespace orvo_test {

ScratchDirectory::ScratchDirectory() {
  static std::atomic<unsigned> counter{0};
  const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
  std::error_code error;
  const std::filesystem::path base = std::filesystem::temp_directory_path(error);
  path_ = base / ("orvo-test-" + std::to_string(stamp) + "-" + std::to_string(counter++));
  std::filesystem::create_directories(path_, error);
}

ScratchDirectory::~ScratchDirectory() {
  std::error_code error;
  std::filesystem::remove_all(path_, error);
}

std::wstring ScratchDirectory::AddFile(const std::string& name) const {
  const std::filesystem::path file = path_ / name;
  std::ofstream(file) << "stand-in executable\n";
  const std::u8string utf8 = file.u8string();
  return orvo_vpn_win_svc::Utf8ToWide(std::string(utf8.begin(), utf8.end()));
}

}  // namespace orvo_test
