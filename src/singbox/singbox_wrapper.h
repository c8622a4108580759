#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/child_process.h"
#include "platform/sleeper.h"
#include "platform/thread_starter.h"
#include "singbox/child_output_reader.h"
#include "singbox/child_slot.h"
#include "singbox/cleanup_facilities.h"

namespace orvo_vpn_win_svc {

// Owns the sing-box child that carries the Hysteria2 tunnel: finds the program, asks its
// version, keeps the configuration in memory until the child has read it from its standard
// input, starts the child in a kill-on-close job, watches its output for readiness, stops it.
// The configuration never touches the disk and is wiped once written.
class SingboxWrapper {
 public:
  struct Facilities {
    platform::ChildProcesses& children;
    platform::Sleeper& sleeper;
    CleanupFacilities cleanup;
    platform::ThreadStarter start_thread = platform::StartSystemThread;  // the output reader

    static Facilities System();
  };

  // The one wrapper of the service process, on the real system.
  static SingboxWrapper& Instance();

  explicit SingboxWrapper(Facilities facilities);
  ~SingboxWrapper();
  SingboxWrapper(const SingboxWrapper&) = delete;
  SingboxWrapper& operator=(const SingboxWrapper&) = delete;

  bool Initialize(const std::wstring& service_dir);
  std::string GetVersion();
  bool CreateService(const std::string& config);
  bool Start();
  bool WaitForStarted(int32_t max_ms);
  // From any thread, when the service stops: a wait for readiness, now or later, gives up at
  // once, so a connect in progress ends soon instead of after all its waits.
  void AbandonWaits() { abandoned_.store(true); }
  bool IsRunning();
  bool Stop();
  std::string LastError() const;

  // The running child's process id, 0 when there is none.
  uint32_t ChildId() const;
  // A child has been started and has not been seen to end (nor been stopped).
  bool RunningFlag() const { return running_.load(); }
  // The exit code of the child held, once it has ended; none while it runs or when none is held.
  std::optional<uint32_t> ExitCode() const;

  // Who is told, on the reader's thread, that a child ended by itself (also one that Start then
  // finds ended early), never of a child that Stop ended. One at a time; Clear waits for a call
  // in progress and clears only what the same owner set, so an owner may go once it has cleared.
  void SetEndedByItselfHandler(const void* owner, std::function<void(uint32_t exit_code)> handler);
  void ClearEndedByItselfHandler(const void* owner);

 private:
  void SetLastError(std::string text);
  // Drops the child, its output pipe and its job (the reader must have been joined).
  void ReleaseChild();
  ChildOutputReader::Behaviour ReaderBehaviour();

  Facilities facilities_;
  std::wstring exe_path_;
  std::wstring work_dir_;
  std::atomic<bool> initialized_{false};
  // The child with its output pipe; shared with the reader thread and read without the lock by
  // WaitForStarted and IsRunning.
  ChildSlot process_;
  std::unique_ptr<platform::ChildJob> job_;
  std::atomic<uint32_t> pid_{0};
  std::atomic<bool> running_{false};
  std::atomic<bool> abandoned_{false};
  std::string last_error_;
  mutable std::mutex error_mutex_;
  std::string config_;
  std::mutex mutex_;
  // Guards the handler, and is held while it runs.
  std::mutex handler_mutex_;
  const void* handler_owner_ = nullptr;
  std::function<void(uint32_t exit_code)> handler_;
  // Last: joined first when the wrapper goes.
  ChildOutputReader reader_;
};

}  // namespace orvo_vpn_win_svc
