#include "platform/process_table.h"

#include <dirent.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <string>

#include "platform/posix/file_descriptor.h"
#include "platform/text_encoding.h"

namespace orvo_vpn_win_svc::platform {
namespace {

// The executable's file name: the target of /proc/PID/exe where it can be read, else the
// command name the kernel keeps (which a process can change, and which stays for zombies).
std::optional<std::string> ImageName(const std::string& pid_text) {
  const std::string base = "/proc/" + pid_text;
  char target[4096];
  const ssize_t length = readlink((base + "/exe").c_str(), target, sizeof target - 1);
  if (length > 0) {
    std::string path(target, static_cast<size_t>(length));
    constexpr std::string_view kDeleted = " (deleted)";
    if (path.size() > kDeleted.size() && path.ends_with(kDeleted)) {
      path.resize(path.size() - kDeleted.size());
    }
    return path.substr(path.rfind('/') + 1);
  }
  std::ifstream comm(base + "/comm");
  std::string name;
  if (comm && std::getline(comm, name) && !name.empty()) {
    return name;
  }
  return std::nullopt;
}

class PidFdProcess final : public OpenedProcess {
 public:
  explicit PidFdProcess(FileDescriptor pid_fd) : pid_fd_(std::move(pid_fd)) {}

  bool Terminate(uint32_t /*exit_code*/) override {
    // Linux cannot give another process an exit code; SIGKILL is TerminateProcess's equivalent.
    return syscall(SYS_pidfd_send_signal, pid_fd_.Get(), SIGKILL, nullptr, 0) == 0;
  }

  WaitOutcome Wait(std::chrono::milliseconds timeout) override {
    pollfd entry{pid_fd_.Get(), POLLIN, 0};
    int result;
    do {
      result = poll(&entry, 1, static_cast<int>(timeout.count()));
    } while (result < 0 && errno == EINTR);
    if (result < 0) {
      return WaitOutcome::kFailed;
    }
    return result == 0 ? WaitOutcome::kTimedOut : WaitOutcome::kEnded;
  }

 private:
  FileDescriptor pid_fd_;
};

class ProcFsTable final : public ProcessTable {
 public:
  std::optional<std::vector<ProcessEntry>> Snapshot() override {
    DIR* directory = opendir("/proc");
    if (directory == nullptr) {
      return std::nullopt;
    }
    std::vector<ProcessEntry> entries;
    while (const dirent* entry = readdir(directory)) {
      const std::string name = entry->d_name;
      if (name.empty() || name.find_first_not_of("0123456789") != std::string::npos) {
        continue;
      }
      const std::optional<std::string> image = ImageName(name);
      if (image) {
        entries.push_back(
            {static_cast<uint32_t>(std::strtoul(name.c_str(), nullptr, 10)), Utf8ToWide(*image)});
      }
    }
    closedir(directory);
    return entries;
  }

  std::unique_ptr<OpenedProcess> OpenForTermination(uint32_t id) override {
    const auto pid = static_cast<pid_t>(id);
    if (pid <= 0 || (kill(pid, 0) != 0 && errno == EPERM)) {
      return nullptr;  // not ours to signal, as OpenProcess refuses PROCESS_TERMINATE
    }
    FileDescriptor pid_fd(static_cast<int>(syscall(SYS_pidfd_open, pid, 0)));
    if (!pid_fd.Valid()) {
      return nullptr;
    }
    return std::make_unique<PidFdProcess>(std::move(pid_fd));
  }
};

}  // namespace

ProcessTable& SystemProcessTable() {
  static ProcFsTable table;
  return table;
}

}  // namespace orvo_vpn_win_svc::platform
