#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "fakes/fake_child_processes.h"
#include "fakes/fake_host_resolver.h"
#include "fakes/fake_ip_helper.h"
#include "fakes/fake_network_devices.h"
#include "fakes/fake_process_table.h"
#include "fakes/fault_injecting_wfp_engine.h"
#include "fakes/in_memory_wfp_engine.h"
#include "killswitch/wfp_manager.h"
#include "platform/log_capture.h"
#include "runtime/runtime.h"
#include "singbox/singbox_wrapper.h"
#include "support/owner_thread_sleeper.h"
#include "support/scratch_directory.h"
#include "support/virtual_clock.h"

namespace orvo_test {

// A runtime on fakes: scripted sing-box children, an IP Helper with an interface table, the
// in-memory filtering engine, a resolver from a table, and a virtual clock for the runtime's own
// waits, so its "[Nms]" lines show exactly the pauses it made. The sing-box wrapper keeps its own
// short real pauses (its reader thread polls on them).
class RuntimeOnFakes : public ::testing::Test {
 protected:
  static constexpr uint64_t kTunLuid = 0x0035000000000007;
  static constexpr uint64_t kPhysicalLuid = 0x0035000000000002;
  static constexpr int64_t kNow = 1700000000;
  static constexpr char kServer[] = "203.0.113.7";
  static constexpr char kReadyOutput[] = "INFO[0000] sing-box started (0.00s)\n";

  RuntimeOnFakes();
  ~RuntimeOnFakes() override;

  // What the runtime under test runs on; `wfp` for a runtime on another manager.
  orvo_vpn_win_svc::RuntimeFacilities Facilities(orvo_vpn_win_svc::WfpManager& wfp);

  // Initialises the runtime on a directory holding sing-box (its version query answered) and
  // forgets what that logged.
  void Initialize();
  // The next `count` children print the readiness line at once and keep running.
  void QueueReadyChildren(int count = 1);
  // The interface table holds the TUN interface with this alias and operational status.
  void ShowTun(const std::wstring& alias = L"OrvoVPN", int32_t oper_status = 1,
               uint64_t luid = kTunLuid);
  // A Hysteria2 connect that comes up: a ready child, the TUN interface up.
  void ConnectUp();
  static orvo_vpn_win_svc::Hysteria2ConnectRequest Request(const std::string& server = kServer);

  // The lines of standard error that carry an elapsed time ("ORVO_SVC: [..."), in order.
  std::string TimedLines() const;
  // How often `text` occurs in standard error.
  size_t CountInLog(const std::string& text) const;
  // The child started last has ended (a start never leaves an earlier one running).
  bool LastChildEnded();

  orvo_vpn_win_svc::Runtime& runtime() { return *runtime_; }

  ScratchDirectory directory_;
  std::wstring service_dir_;
  FakeChildProcesses children_;
  FakeProcessTable processes_;
  FakeNetworkDevices wrapper_devices_;  // seen by the clean-up before each start
  FakeNetworkDevices runtime_devices_;  // seen by the runtime's own clean-ups
  orvo_vpn_win_svc::SparedProcesses spared_;
  OwnerThreadSleeper wrapper_sleeper_;
  VirtualClock clock_;
  std::shared_ptr<FakeIpHelper> ip_helper_ = std::make_shared<FakeIpHelper>();
  std::shared_ptr<FakeHostResolver> resolver_ = std::make_shared<FakeHostResolver>();
  std::shared_ptr<orvo_test::InMemoryWfpEngine> memory_ =
      std::make_shared<orvo_test::InMemoryWfpEngine>();
  std::shared_ptr<FaultInjectingWfpEngine> engine_ =
      std::make_shared<FaultInjectingWfpEngine>(memory_);
  orvo_vpn_win_svc::WfpManager wfp_{engine_, resolver_};
  orvo_vpn_win_svc::SingboxWrapper singbox_{
      {children_, wrapper_sleeper_, {processes_, wrapper_devices_, wrapper_sleeper_, spared_}}};
  bool wintun_installed_ = true;
  bool socket_library_starts_ = true;
  std::wstring executable_path_;
  orvo_vpn_win_svc::LogCapture log_;
  std::unique_ptr<orvo_vpn_win_svc::Runtime> runtime_;
};

}  // namespace orvo_test
