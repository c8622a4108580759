#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "support/case_file.h"
#include "support/network_namespace.h"
#include "support/scratch_directory.h"
#include "support/spawned_program.h"

namespace orvo_test {

// Runs the body (a lambda) in a fresh network namespace where TUN devices can be made; skips
// loudly where that is impossible (not Linux, not root).
#define ORVO_IN_NAMESPACE_OR_SKIP(...)                                                             \
  do {                                                                                             \
    std::string orvo_why_not;                                                                      \
    if (!orvo_test::RunInNamespaceWithTun(__VA_ARGS__, orvo_why_not)) {                            \
      GTEST_SKIP() << "SKIPPED LOUDLY: needs root, namespaces and /dev/net/tun: " << orvo_why_not; \
    }                                                                                              \
  } while (false)

// "connected", "refused" (a reset or an ICMP refusal came back) or "timeout": one TCP connect.
std::string TcpConnect(const std::string& address, int port, std::chrono::milliseconds timeout);

// Descriptors, threads and children of a process as /proc shows them, as one line.
std::string Holdings(int pid);
std::vector<int> ChildrenOf(int pid);
// Whether a process has ended (gone, or a zombie nobody reaps).
bool Ended(int pid);

// The real orvo-vpn-svc run from a scratch directory beside the sing-box stand-in, with a home of
// its own, in PID and mount namespaces of its own whose /run is a fresh tmpfs (so its socket is at
// the default place and its stray-process clean-up sees only its own children). The namespace's
// first process outlives the service, so the service's children are not ended by the namespace
// when the service dies; the namespace ends with this object (unshare is killed, and --kill-child
// takes the namespace's first process along). Talked to only through the real orvo-vpn-ctl, run
// in the service's mount namespace.
class Service {
 public:
  Service();
  Service(const Service&) = delete;
  Service& operator=(const Service&) = delete;

  // `prefix`: words put before the service's command (NAME=value for env, or a wrapper ending
  // in "--"); `setup`: shell run in the namespace before the service starts.
  bool Start(bool console, const std::vector<std::string>& prefix, std::string& why_not,
             const std::string& setup = "");
  // What orvo-vpn-ctl prints for `raw text`.
  std::string Raw(const std::string& text) const;
  // A shell command run in the service's PID and mount namespaces (and this test's network
  // namespace): what it printed, its exit code in `exit_code` when given.
  std::string Shell(const std::string& command, int* exit_code = nullptr) const;
  std::string Log() const;
  // The lines of the log a user reads: the host's and the handlers', the Wintun clean-up's.
  std::string UserLog() const;
  // The service's exit code once it has ended; -1 when it still runs after `timeout`.
  int WaitForExit(std::chrono::milliseconds timeout) const;
  int Pid() const { return pid_; }
  // Runs the transcript tests/golden/integration/<name>: each "$ " line is a step, the lines
  // after it what the step shows; returns what this run showed, in the same form, with the
  // times it recorded as "T".
  std::string Transcript(const std::string& name);

 private:
  // What one step (a "$ " line without its "$ ") shows.
  std::string Step(const std::string& line);

  ScratchDirectory install_;
  ScratchDirectory home_;
  SpawnedProgram unshare_;
  int pid_ = -1;
  long long started_ = 0;
  size_t log_seen_ = 0;
};

}  // namespace orvo_test
