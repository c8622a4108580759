// connection.json: exact bytes, replacement, clearing, and every failure the store reports.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "platform/log_capture.h"
#include "platform/system_paths.h"
#include "store/connection_store.h"
#include "support/platform_kind.h"
#include "support/test_pipe.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace orvo_vpn_win_svc {
namespace {

namespace fs = std::filesystem;

std::string ReadBytes(const fs::path& path) {
  std::ifstream file(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

ConnectionInfo ConnectedRecord() {
  ConnectionInfo info;
  info.status = ConnectionStatus::Connected;
  info.server_ip = "203.0.113.7";
  info.server_id = "de-fra-1";
  info.session_id = "s-42";
  info.access_code = "AC-1";
  info.server_country = "Deutschland";
  info.server_city = "Köln";
  info.server_country_code = "DE";
  info.worker_endpoint = "203.0.113.7:443";
  info.protocol = "hysteria2";
  info.server_latency_ms = -3;
  info.connected_at = 1700000000;
  info.use_tor = true;
  info.bytes_rx = 99;  // never written
  return info;
}

class ConnectionStoreTest : public ::testing::Test {
 protected:
  ConnectionStoreTest() { fs::create_directories(app_data_); }
  ~ConnectionStoreTest() override {
    std::error_code ignored;
    fs::remove_all(root_, ignored);
  }

  ConnectionStore Store() const {
    const std::string folder = app_data_.string();
    return ConnectionStore([folder] { return std::optional<std::string>(folder); },
                           [] { return int64_t{1700000123}; });
  }
  fs::path File() const { return app_data_ / "OrvoVPN" / "connection.json"; }

  fs::path root_ =
      fs::temp_directory_path() /
      ("orvo-store-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + "-" +
       ::testing::UnitTest::GetInstance()->current_test_info()->name());
  fs::path app_data_ = root_ / "AppData";
};

TEST_F(ConnectionStoreTest, WritesTheFifteenMembersInKeyOrder) {
  LogCapture capture;
  ASSERT_TRUE(Store().Save(ConnectedRecord()));
  const std::string newline = orvo_test::kWindows ? "\r\n" : "\n";
  std::string expected =
      "{\n"
      "  \"access_code\": \"AC-1\",\n"
      "  \"assigned_ip\": \"\",\n"
      "  \"connected_at\": 1700000000,\n"
      "  \"protocol\": \"hysteria2\",\n"
      "  \"saved_at\": 1700000123,\n"
      "  \"server_city\": \"K\xC3\xB6ln\",\n"
      "  \"server_country\": \"Deutschland\",\n"
      "  \"server_country_code\": \"DE\",\n"
      "  \"server_id\": \"de-fra-1\",\n"
      "  \"server_ip\": \"203.0.113.7\",\n"
      "  \"server_latency_ms\": -3,\n"
      "  \"session_id\": \"s-42\",\n"
      "  \"status\": 2,\n"
      "  \"use_tor\": true,\n"
      "  \"worker_endpoint\": \"203.0.113.7:443\"\n"
      "}";
  std::string platform_expected;
  for (const char c : expected) {
    platform_expected += c == '\n' ? newline : std::string(1, c);
  }
  EXPECT_EQ(ReadBytes(File()), platform_expected);
  EXPECT_EQ(capture.StandardError(),
            "CONNECTION_STORE: Saved connection state to " + File().string() + "\n");
  // Nothing is left beside the file.
  EXPECT_EQ(std::distance(fs::directory_iterator(File().parent_path()), fs::directory_iterator()),
            1);
}

TEST_F(ConnectionStoreTest, SecondSaveReplacesTheWholeFile) {
  ConnectionInfo first = ConnectedRecord();
  first.server_city = std::string(500, 'x');
  ASSERT_TRUE(Store().Save(first));
  ConnectionInfo second = ConnectedRecord();
  second.server_city = "Bonn";
  ASSERT_TRUE(Store().Save(second));
  const std::string content = ReadBytes(File());
  EXPECT_EQ(content.find('x'), std::string::npos);
  EXPECT_NE(content.find("\"Bonn\""), std::string::npos);
  EXPECT_EQ(content.back(), '}');
}

TEST_F(ConnectionStoreTest, ClearRemovesTheFileAndIsQuietWhenThereIsNone) {
  {
    LogCapture capture;
    Store().Clear();  // no folder yet: it is created, nothing is logged
    EXPECT_EQ(capture.StandardError(), "");
    EXPECT_TRUE(fs::is_directory(File().parent_path()));
    EXPECT_FALSE(fs::exists(File()));
  }
  ASSERT_TRUE(Store().Save(ConnectedRecord()));
  LogCapture capture;
  Store().Clear();
  EXPECT_FALSE(fs::exists(File()));
  EXPECT_EQ(capture.StandardError(), "CONNECTION_STORE: Cleared " + File().string() + "\n");
}

TEST_F(ConnectionStoreTest, ReportsAMissingApplicationDataFolder) {
  const ConnectionStore store([] { return std::optional<std::string>(); },
                              [] { return int64_t{0}; });
  LogCapture capture;
  EXPECT_EQ(store.GetFilePath(), "");
  EXPECT_FALSE(store.Save(ConnectedRecord()));
  store.Clear();
  EXPECT_EQ(capture.StandardError(), "CONNECTION_STORE: Failed to get storage path\n");
}

TEST_F(ConnectionStoreTest, ReportsAFolderThatCannotBeCreated) {
  // A file stands where the application-data folder should be.
  fs::remove_all(app_data_);
  std::ofstream(app_data_) << "not a folder";
  LogCapture capture;
  EXPECT_FALSE(Store().Save(ConnectedRecord()));
  const std::string log = capture.StandardError();
  EXPECT_EQ(log.rfind("CONNECTION_STORE: Failed to create directory: ", 0), 0u) << log;
  EXPECT_NE(
      log.find("CONNECTION_STORE: Failed to open file for writing: " + File().string() + "\n"),
      std::string::npos)
      << log;
}

TEST_F(ConnectionStoreTest, WritesInPlaceWhenTheFileCannotBeReplaced) {
  // A folder in the way of the temporary file: the atomic route is refused, the direct one works.
  fs::create_directories(File().string() + ".tmp");
  ASSERT_TRUE(Store().Save(ConnectedRecord()));
  EXPECT_NE(ReadBytes(File()).find("\"status\": 2"), std::string::npos);
}

TEST_F(ConnectionStoreTest, TextThatIsNotUtf8FailsTheSaveAndKeepsTheOldFile) {
  ASSERT_TRUE(Store().Save(ConnectedRecord()));
  const std::string before = ReadBytes(File());
  ConnectionInfo bad = ConnectedRecord();
  bad.server_city = "\xFF";
  LogCapture capture;
  EXPECT_FALSE(Store().Save(bad));
  EXPECT_EQ(capture.StandardError().rfind("CONNECTION_STORE: Save failed: ", 0), 0u);
  EXPECT_EQ(ReadBytes(File()), before);
}

#ifdef _WIN32
// The account's application-data folder as SHGetFolderPath reads it.
constexpr wchar_t kShellFolders[] =
    L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\User Shell Folders";
bool SetAppDataShellFolder(const std::wstring& folder) {
  return RegSetKeyValueW(HKEY_CURRENT_USER, kShellFolders, L"AppData", REG_EXPAND_SZ,
                         folder.c_str(), static_cast<DWORD>((folder.size() + 1) * 2)) == 0;
}
#endif

// The system's application-data folder, given a name that is not ASCII: $XDG_CONFIG_HOME on
// Linux; under Wine the account's AppData shell folder, which SHGetFolderPathA hands over in the
// ANSI code page.
TEST_F(ConnectionStoreTest, UsesTheSystemsApplicationDataFolderWhateverItsName) {
  const fs::path folder = root_ / u8"\u017Di\u017Ekov";  // Zizkov with carons
  fs::create_directories(folder);
#ifdef _WIN32
  if (!orvo_test::RunningUnderWine()) {
    GTEST_SKIP() << "moves the account's AppData folder; done under Wine only";
  }
  BOOL lossy = FALSE;
  WideCharToMultiByte(CP_ACP, 0, folder.c_str(), -1, nullptr, 0, nullptr, &lossy);
  if (lossy) {
    GTEST_SKIP() << "the ANSI code page " << GetACP() << " cannot name the folder";
  }
  wchar_t old[1024] = {};
  DWORD size = sizeof(old);
  ASSERT_EQ(RegGetValueW(HKEY_CURRENT_USER, kShellFolders, L"AppData",
                         RRF_RT_REG_EXPAND_SZ | RRF_NOEXPAND, nullptr, old, &size),
            0);
  const struct Restore {
    std::wstring folder;
    ~Restore() { SetAppDataShellFolder(folder); }
  } restore{old};
  ASSERT_TRUE(SetAppDataShellFolder(folder.wstring()));
#else
  orvo_test::SetEnvironment("XDG_CONFIG_HOME", folder.string());
#endif
  const fs::path expected = folder / "OrvoVPN" / "connection.json";
  const ConnectionStore store;
  EXPECT_EQ(platform::FileSystemPath(store.GetFilePath()), expected);
  ASSERT_TRUE(store.Save(ConnectedRecord()));
  EXPECT_TRUE(fs::exists(expected));
  store.Clear();
  EXPECT_FALSE(fs::exists(expected));
  if (!orvo_test::kWindows) {
    orvo_test::SetEnvironment("XDG_CONFIG_HOME", "");
  }
}

}  // namespace
}  // namespace orvo_vpn_win_svc
