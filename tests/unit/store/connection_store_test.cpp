// connection.json: its exact bytes and place, replacement, clearing, and a save that must fail.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "platform/log_capture.h"
#include "platform/system_paths.h"
#include "store/connection_store.h"
#include "support/platform_kind.h"
#include "support/scratch_directory.h"
#include "support/test_pipe.h"

namespace orvo_vpn_win_svc {
namespace {

namespace fs = std::filesystem;

std::string ReadBytes(const fs::path& path) {
  std::ifstream file(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

ConnectionInfo Record(const std::string& city) {
  ConnectionInfo info;
  info.status = ConnectionStatus::Connected;
  info.server_ip = "203.0.113.7";
  info.server_id = "de-fra-1";
  info.session_id = "s-42";
  info.access_code = "AC-1";
  info.server_country = "Deutschland";
  info.server_city = city;
  info.server_country_code = "DE";
  info.worker_endpoint = "203.0.113.7:443";
  info.protocol = "hysteria2";
  info.server_latency_ms = -3;
  info.connected_at = 1700000000;
  info.use_tor = true;
  info.bytes_rx = 99;  // never written
  return info;
}

TEST(ConnectionStore, SavesTheWholeFileReplacesItAndClearsIt) {
  orvo_test::ScratchDirectory scratch;
  const std::string folder = scratch.path().string();
  const ConnectionStore store([folder] { return std::optional<std::string>(folder); },
                              [] { return int64_t{1700000123}; });
  const fs::path file = scratch.path() / "OrvoVPN" / "connection.json";
  // The file is the golden text without its last line feed, in the platform's line ends.
  std::string expected;
  for (const char c : ReadBytes(std::string(ORVO_SOURCE_DIR) + "/tests/golden/unit/store/connection.json")) {
    expected += c == '\n' ? (orvo_test::kWindows ? "\r\n" : "\n") : std::string(1, c);
  }
  expected.resize(expected.size() - (orvo_test::kWindows ? 2 : 1));
  LogCapture log;
  ASSERT_TRUE(store.Save(Record(std::string(500, 'x'))));
  ASSERT_TRUE(store.Save(Record("K\xC3\xB6ln")));
  EXPECT_EQ(ReadBytes(file), expected);
  EXPECT_EQ(std::distance(fs::directory_iterator(file.parent_path()), fs::directory_iterator()), 1);
  // Text that is no UTF-8 fails the save and keeps the old file.
  EXPECT_FALSE(store.Save(Record("\xFF")));
  EXPECT_EQ(ReadBytes(file), expected);
  store.Clear();
  EXPECT_FALSE(fs::exists(file));
  const std::string saved = "CONNECTION_STORE: Saved connection state to " + file.string() + "\n";
  EXPECT_EQ(log.StandardError().substr(0, 2 * saved.size()), saved + saved);
  EXPECT_EQ(log.StandardError().substr(log.StandardError().find("Cleared") - 18),
            "CONNECTION_STORE: Cleared " + file.string() + "\n");
}

// On Linux the folder is $XDG_CONFIG_HOME, or $HOME/.config without it.
TEST(ConnectionStore, LivesInTheSystemsApplicationDataFolder) {
  if (orvo_test::kWindows) GTEST_SKIP() << "the account's AppData folder is not moved here";
  orvo_test::ScratchDirectory scratch;
  const fs::path home = scratch.path() / u8"\u017Di\u017Ekov";
  const char* old_home = std::getenv("HOME");
  const std::string restore = old_home ? old_home : "";
  orvo_test::SetEnvironment("XDG_CONFIG_HOME", (home / "xdg").string());
  EXPECT_EQ(platform::FileSystemPath(ConnectionStore().GetFilePath()),
            home / "xdg" / "OrvoVPN" / "connection.json");
  orvo_test::SetEnvironment("XDG_CONFIG_HOME", "");
  orvo_test::SetEnvironment("HOME", home.string());
  EXPECT_EQ(platform::FileSystemPath(ConnectionStore().GetFilePath()),
            home / ".config" / "OrvoVPN" / "connection.json");
  orvo_test::SetEnvironment("HOME", restore);
}

}  // namespace
}  // namespace orvo_vpn_win_svc
