#pragma once

#include <windows.h>

#include "platform/wfp_engine.h"

namespace orvo_vpn_win_svc::platform {

// An engine handle from FwpmEngineOpen0, closed with FwpmEngineClose0 when destroyed.
class Win32WfpSession : public WfpSession {
 public:
  explicit Win32WfpSession(HANDLE engine);
  ~Win32WfpSession() override;
  Win32WfpSession(const Win32WfpSession&) = delete;
  Win32WfpSession& operator=(const Win32WfpSession&) = delete;

  uint32_t AddProvider(const WfpProvider& provider) override;
  uint32_t DeleteProvider(const WfpKey& key) override;
  uint32_t AddSubLayer(const WfpSubLayer& sublayer) override;
  uint32_t DeleteSubLayer(const WfpKey& key) override;
  WfpFilterAdd AddFilter(const WfpFilter& filter) override;
  uint32_t DeleteFilter(uint64_t id) override;
  uint32_t BeginTransaction() override;
  uint32_t CommitTransaction() override;
  uint32_t AbortTransaction() override;

 private:
  HANDLE engine_;
};

}  // namespace orvo_vpn_win_svc::platform
