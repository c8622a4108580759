// connection.json: its exact bytes and place, replacement, clearing, and saves that must fail.
#include <gtest/gtest.h>

#include <filesystem>
#include <iterator>
#include <regex>

#ifdef _WIN32
#include <windows.h>
#endif

#include "platform/log_capture.h"
#include "platform/system_paths.h"
#include "store/connection_store.h"
#include "support/case_file.h"
#include "support/scratch_directory.h"
#include "support/stand_in.h"
#include "support/test_pipe.h"

namespace orvo_vpn_win_svc {
namespace {

namespace fs = std::filesystem;

// The record of tests/golden/unit/store/connection.json, in `city`; its byte counts are never
// written.
ConnectionInfo Record(const std::string& city) {
  return {.status = ConnectionStatus::Connected, .server_ip = "203.0.113.7", .assigned_ip = "",
          .server_id = "de-fra-1", .session_id = "s-42", .access_code = "AC-1",
          .server_country = "Deutschland", .server_city = city, .server_country_code = "DE",
          .worker_endpoint = "203.0.113.7:443", .protocol = "hysteria2", .server_latency_ms = -3,
          .connected_at = 1700000000, .use_tor = true, .bytes_rx = 99};
}

// Then saves that cannot go the usual way: a folder in the way of the temporary file (the file is
// then written in place), and no application-data folder at all.
TEST(ConnectionStore, SavesTheWholeFileReplacesItClearsItAndSaysWhyASaveFails) {
  orvo_test::ScratchDirectory scratch;
  const ConnectionStore store([&] { return std::optional<std::string>(scratch.path().string()); },
                              [] { return int64_t{1700000123}; });
  const fs::path file = scratch.path() / "OrvoVPN" / "connection.json";
  // The file is the golden text without its last line feed, in the platform's line ends.
  const std::string golden = orvo_test::GoldenText("unit/store/connection.json");
  const std::string expected = std::regex_replace(
      golden.substr(0, golden.size() - 1), std::regex("\n"), orvo_test::kWindows ? "\r\n" : "\n");
  LogCapture log;
  ASSERT_TRUE(store.Save(Record(std::string(500, 'x'))));
  ASSERT_TRUE(store.Save(Record("K\xC3\xB6ln")));
  EXPECT_EQ(orvo_test::ReadWholeFile(file.string()), expected);
  EXPECT_EQ(std::distance(fs::directory_iterator(file.parent_path()), fs::directory_iterator()), 1);
  // Text that is no UTF-8 fails the save and keeps the old file.
  EXPECT_FALSE(store.Save(Record("\xFF")));
  EXPECT_EQ(orvo_test::ReadWholeFile(file.string()), expected);
  store.Clear();
  EXPECT_FALSE(fs::exists(file));
  const std::string saved = "CONNECTION_STORE: Saved connection state to " + file.string() + "\n";
  EXPECT_TRUE(log.StandardError().starts_with(saved + saved)) << log.StandardError();
  EXPECT_TRUE(log.StandardError().ends_with("CONNECTION_STORE: Cleared " + file.string() + "\n"));

  fs::create_directories(file.string() + ".tmp");
  ASSERT_TRUE(store.Save(Record("Bonn")));
  EXPECT_NE(orvo_test::ReadWholeFile(file.string()).find("\"server_city\": \"Bonn\""),
            std::string::npos);
  const ConnectionStore nowhere([] { return std::optional<std::string>(); },
                                [] { return int64_t{0}; });
  log.Clear();
  EXPECT_EQ(nowhere.GetFilePath(), "");
  EXPECT_FALSE(nowhere.Save(Record("Bonn")));
  nowhere.Clear();
  EXPECT_EQ(log.StandardError(), "CONNECTION_STORE: Failed to get storage path\n");
}

// The system's application-data folder, whatever its name: $XDG_CONFIG_HOME or $HOME/.config on
// Linux; under Wine the account's AppData shell folder, which reaches the service in the ANSI
// code page.
TEST(ConnectionStore, LivesInTheSystemsApplicationDataFolder) {
  orvo_test::ScratchDirectory scratch;
  const fs::path home = scratch.path() / u8"\u017Di\u017Ekov";
  const fs::path file = home / "xdg" / "OrvoVPN" / "connection.json";
  fs::create_directories(home / "xdg");
#ifdef _WIN32
  constexpr wchar_t kFolders[] =
      L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\User Shell Folders";
  const auto set_app_data = [&](const std::wstring& value) {
    return RegSetKeyValueW(HKEY_CURRENT_USER, kFolders, L"AppData", REG_EXPAND_SZ, value.c_str(),
                           static_cast<DWORD>((value.size() + 1) * 2)) == 0;
  };
  BOOL lossy = FALSE;
  WideCharToMultiByte(CP_ACP, 0, home.c_str(), -1, nullptr, 0, nullptr, &lossy);
  if (!orvo_test::RunningUnderWine() || lossy) {
    GTEST_SKIP() << "SKIPPED LOUDLY: needs Wine, in a code page naming the AppData folder";
  }
  wchar_t old[1024] = {};
  DWORD size = sizeof(old);
  ASSERT_EQ(RegGetValueW(HKEY_CURRENT_USER, kFolders, L"AppData",
                         RRF_RT_REG_EXPAND_SZ | RRF_NOEXPAND, nullptr, old, &size),
            0);
  ASSERT_TRUE(set_app_data((home / "xdg").wstring()));
#else
  const std::string old = std::getenv("HOME") ? std::getenv("HOME") : "";
  orvo_test::SetEnvironment("XDG_CONFIG_HOME", (home / "xdg").string());
#endif
  EXPECT_EQ(platform::FileSystemPath(ConnectionStore().GetFilePath()), file);
  EXPECT_TRUE(ConnectionStore().Save(Record("Bonn")));
  EXPECT_TRUE(fs::exists(file));
#ifdef _WIN32
  set_app_data(old);
#else
  orvo_test::SetEnvironment("XDG_CONFIG_HOME", "");
  orvo_test::SetEnvironment("HOME", home.string());
  EXPECT_EQ(platform::FileSystemPath(ConnectionStore().GetFilePath()),
            home / ".config" / "OrvoVPN" / "connection.json");
  orvo_test::SetEnvironment("HOME", old);
#endif
}

}  // namespace
}  // namespace orvo_vpn_win_svc
