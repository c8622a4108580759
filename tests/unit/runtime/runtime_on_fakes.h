#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "fakes/fake_child_processes.h"
#include "fakes/fake_host_resolver.h"
#include "fakes/fake_ip_helper.h"
#include "fakes/fake_network_devices.h"
#include "fakes/fake_process_table.h"
#include "fakes/fake_tunnel_libraries.h"
#include "fakes/fake_wfp_engine.h"
#include "killswitch/wfp_manager.h"
#include "platform/log_capture.h"
#include "runtime/runtime.h"
#include "singbox/singbox_wrapper.h"
#include "support/case_file.h"
#include "support/scratch_directory.h"
#include "support/test_clock.h"

namespace orvo_test {

// A runtime on fakes: scripted sing-box children, an IP Helper with an interface table, the
// in-memory filtering engine, a resolver from a table, the tunnel libraries in memory, and a
// virtual clock for the runtime's own waits, so its "[Nms]" lines show exactly the pauses it
// made. The sing-box wrapper keeps its own short real pauses (its reader thread polls on them);
// the WireGuard timer's one-second pauses wait until the test lets them through.
class RuntimeOnFakes : public ::testing::Test {
 public:  // the tables of cases arrange the fakes
  RuntimeOnFakes();
  ~RuntimeOnFakes() override;

  orvo_vpn_win_svc::Runtime& runtime() { return *runtime_; }

  ScratchDirectory directory_;
  std::wstring service_dir_;
  FakeChildProcesses children_;
  FakeProcessTable processes_;
  FakeNetworkDevices wrapper_devices_;  // seen by the clean-up before each start
  FakeNetworkDevices runtime_devices_;  // seen by the runtime's own clean-ups
  orvo_vpn_win_svc::SparedProcesses spared_;
  TestClock wrapper_sleeper_{TestClock::kEveryPauseOneMs};
  TestClock clock_;
  TestClock packet_sleeper_{1, std::chrono::milliseconds(1000)};
  FakeTunnelLibraries libraries_;
  std::shared_ptr<FakeIpHelper> ip_helper_ = std::make_shared<FakeIpHelper>();
  std::shared_ptr<FakeHostResolver> resolver_ = std::make_shared<FakeHostResolver>();
  std::shared_ptr<FakeWfpEngine> engine_ = std::make_shared<FakeWfpEngine>();
  orvo_vpn_win_svc::WfpManager wfp_{engine_, resolver_};
  orvo_vpn_win_svc::SingboxWrapper singbox_{
      {children_, wrapper_sleeper_, {processes_, wrapper_devices_, wrapper_sleeper_, spared_}}};
  bool wintun_installed_ = true;
  bool socket_library_starts_ = true;
  int socket_library_stops_ = 0;
  int refuse_thread_ = -1;  // the index of the packet thread that cannot be created
  int threads_started_ = 0;
  std::wstring executable_path_;
  orvo_vpn_win_svc::LogCapture log_;
  std::unique_ptr<orvo_vpn_win_svc::Runtime> runtime_;
};

}  // namespace orvo_test
