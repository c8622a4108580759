#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "ipc/request_records.h"
#include "platform/child_process.h"
#include "platform/host_resolver.h"
#include "platform/sleeper.h"
#include "platform/thread_starter.h"
#include "singbox/child_output_reader.h"
#include "singbox/child_slot.h"
#include "singbox/spared_processes.h"

namespace orvo_vpn_win_svc {

// The local relay proxy: a second sing-box child offering a mixed proxy on 127.0.0.1 whose
// traffic leaves through a Hysteria2 relay server. Independent of the tunnel's child, with its
// own lock, job, reader and timings.
class RelayProxy {
 public:
  struct Facilities {
    platform::ChildProcesses& children;
    platform::Sleeper& sleeper;
    SparedProcesses& spared;
    std::function<std::wstring()> executable_path;
    std::function<platform::Ipv4Resolution(const std::string&)> resolve;
    platform::ThreadStarter start_thread = platform::StartSystemThread;  // the output reader

    static Facilities System();
    // The system's resolver, asked the way a UDP protocol asks.
    static platform::Ipv4Resolution SystemResolve(const std::string& host);
  };

  static RelayProxy& Instance();

  explicit RelayProxy(Facilities facilities);
  ~RelayProxy();
  RelayProxy(const RelayProxy&) = delete;
  RelayProxy& operator=(const RelayProxy&) = delete;

  bool Start(const RelayProxyRequest& settings, std::string& error);
  void Stop();
  // True while the proxy was started and its child is still alive.
  bool IsRunning();

  // The child's process id, 0 when there is none.
  uint32_t ChildId() const;

 private:
  bool Launch(const std::string& config, std::string& error);
  bool ResolveAddress(const std::string& host, std::string& address, std::string& error);
  // Ends a child that is still there and drops it with its pipe, reader, job and spared id.
  void ReleaseAll();
  void ReleaseChild();
  ChildOutputReader::Behaviour ReaderBehaviour();

  Facilities facilities_;
  ChildSlot process_;
  std::unique_ptr<platform::ChildJob> job_;
  std::atomic<bool> running_{false};
  std::mutex mutex_;
  std::wstring service_dir_;
  ChildOutputReader reader_;
};

}  // namespace orvo_vpn_win_svc
