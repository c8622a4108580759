#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/child_process.h"

namespace orvo_vpn_win_svc::platform {

struct ProcessEntry {
  uint32_t id = 0;
  std::wstring image_name;  // the executable's file name, "sing-box.exe"
};

// A process opened for termination and waiting, closed when destroyed.
class OpenedProcess {
 public:
  virtual ~OpenedProcess() = default;
  virtual bool Terminate(uint32_t exit_code) = 0;
  virtual WaitOutcome Wait(std::chrono::milliseconds timeout) = 0;
};

// The machine's processes. Windows: Tool Help snapshots. Linux: /proc.
class ProcessTable {
 public:
  virtual ~ProcessTable() = default;
  // Every process of the machine; nothing when the snapshot cannot be taken.
  virtual std::optional<std::vector<ProcessEntry>> Snapshot() = 0;
  // Opens a process with the rights to terminate it and wait for it; nothing when refused.
  virtual std::unique_ptr<OpenedProcess> OpenForTermination(uint32_t id) = 0;
};

ProcessTable& SystemProcessTable();

// Whether `image_name` names the same executable as `wanted`: the whole name, compared without
// regard to case.
bool SameImageName(const std::wstring& image_name, const std::wstring& wanted);

}  // namespace orvo_vpn_win_svc::platform
