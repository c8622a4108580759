#pragma once

#include <functional>
#include <optional>
#include <string>

#include "runtime/connection_info.h"

namespace orvo_vpn_win_svc {

// connection.json in the OrvoVPN folder under the service account's application-data folder: a
// description of the Hysteria2 connection currently up, for the user interface to read. The
// service only writes and removes it; every operation computes the path afresh.
class ConnectionStore {
 public:
  using FolderLookup = std::function<std::optional<std::string>()>;
  using Clock = std::function<int64_t()>;  // seconds since 1970-01-01 UTC

  // By default the system's application-data folder and the C library's clock.
  ConnectionStore();
  ConnectionStore(FolderLookup app_data_folder, Clock clock);

  // The path of connection.json, creating its folder when missing; empty when the
  // application-data folder cannot be had.
  std::string GetFilePath() const;
  // True when `folder` exists or was created (with any missing parents).
  bool EnsureDirectory(const std::string& folder) const;
  // Writes the record; true when the file was written.
  bool Save(const ConnectionInfo& info) const;
  // Removes the file if there is one.
  void Clear() const;

 private:
  FolderLookup app_data_folder_;
  Clock clock_;
};

}  // namespace orvo_vpn_win_svc
