#include "store/connection_store.h"

#include <ctime>
#include <exception>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <system_error>

#include "platform/log.h"
#include "platform/system_paths.h"

namespace orvo_vpn_win_svc {
namespace {

namespace fs = std::filesystem;

constexpr char kFolderName[] = "OrvoVPN";
constexpr char kFileName[] = "connection.json";
// The new content is written here first and then renamed over the file, so a reader never sees
// a half-written file, whatever happens during the write.
constexpr char kTemporarySuffix[] = ".tmp";

std::string Join(const std::string& folder, const char* name) {
  return folder + static_cast<char>(fs::path::preferred_separator) + name;
}

nlohmann::json Describe(const ConnectionInfo& info, int64_t saved_at) {
  return {
      {"access_code", info.access_code},
      {"assigned_ip", info.assigned_ip},
      {"connected_at", info.connected_at},
      {"protocol", info.protocol},
      {"saved_at", saved_at},
      {"server_city", info.server_city},
      {"server_country", info.server_country},
      {"server_country_code", info.server_country_code},
      {"server_id", info.server_id},
      {"server_ip", info.server_ip},
      {"server_latency_ms", info.server_latency_ms},
      {"session_id", info.session_id},
      {"status", static_cast<int32_t>(info.status)},
      {"use_tor", info.use_tor},
      {"worker_endpoint", info.worker_endpoint},
  };
}

// Writes `text` to `path` in text mode (CR LF line ends on Windows); false when the file could
// not be opened or written completely.
bool WriteTextFile(const std::string& path, const std::string& text, bool& opened) {
  std::ofstream file(platform::FileSystemPath(path), std::ios::out | std::ios::trunc);
  opened = file.is_open();
  if (!opened) {
    return false;
  }
  file << text;
  file.close();
  return !file.fail();
}

// Writes through a temporary file renamed over the old one. False when that could not be done
// (the folder refuses new files, or a reader holds the file so it cannot be replaced); the
// temporary file is then gone again.
bool ReplaceAtomically(const std::string& path, const std::string& text) {
  const std::string temporary = path + kTemporarySuffix;
  bool opened = false;
  std::error_code error;
  if (WriteTextFile(temporary, text, opened)) {
    fs::rename(platform::FileSystemPath(temporary), platform::FileSystemPath(path), error);
    if (!error) {
      return true;
    }
  }
  if (opened) {
    fs::remove(platform::FileSystemPath(temporary), error);
  }
  return false;
}

}  // namespace

ConnectionStore::ConnectionStore()
    : ConnectionStore(&platform::SystemPaths::AppDataFolder,
                      [] { return static_cast<int64_t>(std::time(nullptr)); }) {}

ConnectionStore::ConnectionStore(FolderLookup app_data_folder, Clock clock)
    : app_data_folder_(std::move(app_data_folder)), clock_(std::move(clock)) {}

std::string ConnectionStore::GetFilePath() const {
  const std::optional<std::string> app_data = app_data_folder_();
  if (!app_data) {
    return {};
  }
  const std::string folder = Join(*app_data, kFolderName);
  EnsureDirectory(folder);
  return Join(folder, kFileName);
}

bool ConnectionStore::EnsureDirectory(const std::string& folder) const {
  std::error_code error;
  if (!fs::exists(platform::FileSystemPath(folder), error) && !error) {
    fs::create_directories(platform::FileSystemPath(folder), error);
  }
  if (error) {
    LogLine("CONNECTION_STORE: Failed to create directory: %s\n", error.message().c_str());
    return false;
  }
  return true;
}

bool ConnectionStore::Save(const ConnectionInfo& info) const {
  try {
    const std::string path = GetFilePath();
    if (path.empty()) {
      LogLine("CONNECTION_STORE: Failed to get storage path\n");
      return false;
    }
    const std::string text = Describe(info, clock_()).dump(2, ' ', false);
    if (!ReplaceAtomically(path, text)) {
      // Replacing was refused; write in place as the last resort.
      bool opened = false;
      const bool written = WriteTextFile(path, text, opened);
      if (!opened) {
        LogLine("CONNECTION_STORE: Failed to open file for writing: %s\n", path.c_str());
        return false;
      }
      if (!written) {
        LogLine("CONNECTION_STORE: Save failed: could not write %s\n", path.c_str());
        return false;
      }
    }
    LogLine("CONNECTION_STORE: Saved connection state to %s\n", path.c_str());
    return true;
  } catch (const std::exception& error) {
    LogLine("CONNECTION_STORE: Save failed: %s\n", error.what());
    return false;
  }
}

void ConnectionStore::Clear() const {
  const std::string path = GetFilePath();
  if (path.empty()) {
    return;
  }
  std::error_code error;
  if (fs::exists(platform::FileSystemPath(path), error) && !error) {
    fs::remove(platform::FileSystemPath(path), error);
    if (!error) {
      LogLine("CONNECTION_STORE: Cleared %s\n", path.c_str());
    }
  }
  if (error) {
    LogLine("CONNECTION_STORE: Clear failed: %s\n", error.message().c_str());
  }
}

}  // namespace orvo_vpn_win_svc
