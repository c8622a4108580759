#pragma once

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "support/background_process.h"
#include "support/process_resources.h"
#include "support/scratch_directory.h"
#include "support/test_pipe.h"
#include "support/wireguard_peer.h"

namespace orvo_test {

// What one run of the real orvo-vpn-ctl printed and how it exited.
struct CtlResult {
  int exit_code = -1;
  std::string output;
};

// The real orvo-vpn-svc installed in a scratch directory beside a `sing-box` launcher for the
// stand-in, with a socket directory and an application-data folder of its own, started in a PID
// namespace of its own (so its clean-up of stray sing-box processes sees only its own children)
// and talked to only through the real orvo-vpn-ctl. Linux only: Start fails elsewhere.
class ServiceUnderTest {
 public:
  enum class Mode { kConsole, kService };

  ServiceUnderTest();
  ~ServiceUnderTest();
  ServiceUnderTest(const ServiceUnderTest&) = delete;
  ServiceUnderTest& operator=(const ServiceUnderTest&) = delete;

  // Starts the service with `environment` (NAME=value entries) added; in console mode waits for
  // the pipe to run. False with `why_not` set when it did not come up.
  bool Start(Mode mode, const std::vector<std::string>& environment, std::string& why_not);

  // Starts `peer`, then the service in console mode with libwintun.so and the WireGuard
  // stand-in on its library search path.
  bool StartBesideWireGuardPeer(WireGuardPeer& peer, std::string& why_not);

  // What every stand-in the service starts from now on is told (its environment variables).
  void SetStandIn(const std::vector<std::pair<std::string, std::string>>& variables) const;

  CtlResult Ctl(const std::vector<std::string>& arguments) const;
  // Sends `text` exactly and returns the reply bytes exactly.
  CtlResult Raw(const std::string& text) const { return Ctl({"raw", text}); }

  // The service's standard error so far, and a wait for a text to appear in it.
  std::string Log() const;
  bool WaitForLog(const std::string& text, std::chrono::milliseconds timeout) const;

  int Pid() const { return service_pid_; }
  bool Signal(int signal_number) const;
  // Waits for the service to end; its exit code.
  std::optional<int> WaitForExit(std::chrono::milliseconds timeout);

  // The service's descriptors, threads and children as /proc shows them.
  ProcessResources Holdings() const;
  std::vector<int> Children() const;

  std::filesystem::path StateFile() const;
  std::filesystem::path StateFolder() const;
  std::filesystem::path InstallDirectory() const { return install_.path(); }

 private:
  ScratchDirectory install_;
  ScratchDirectory config_home_;
  TestPipe pipe_;
  BackgroundProcess process_;  // unshare, the service's parent
  int service_pid_ = -1;
};

}  // namespace orvo_test
