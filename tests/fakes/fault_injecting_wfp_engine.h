#pragma once

#include <memory>
#include <string>

#include "platform/wfp_engine.h"

namespace orvo_test {

// Passes every call on to another engine (usually an InMemoryWfpEngine), records each call and
// its result as one line of text, and makes chosen calls fail as the system can:
//   OpenSession "ORVO VPN Session" "..." dynamic wait=0 -> ok
//   AddFilter ALE_AUTH_CONNECT_V4 weight=1 BLOCK "ORVO: Block All (Kill Switch)" -> ok id=65540
//   CommitTransaction -> 0x80320012
// A failed call does not reach the other engine.
class FaultInjectingWfpEngine : public orvo_vpn_win_svc::platform::WfpEngine {
 public:
  explicit FaultInjectingWfpEngine(std::shared_ptr<orvo_vpn_win_svc::platform::WfpEngine> inner);
  ~FaultInjectingWfpEngine() override;

  // Calls whose text contains `fragment` fail with `code`: only the `occurrence`-th such call
  // (counting from 1), or every one when `occurrence` is 0.
  void Fail(std::string fragment, uint32_t code, int occurrence = 0);
  // The calls so far, one line each.
  std::string Calls() const;

  orvo_vpn_win_svc::platform::WfpSessionOpen OpenSession(
      const orvo_vpn_win_svc::platform::WfpSessionOptions& options) override;
  orvo_vpn_win_svc::platform::WfpAppId GetAppIdFromFileName(const std::wstring& path) override;

  struct Recorder;

 private:
  std::shared_ptr<orvo_vpn_win_svc::platform::WfpEngine> inner_;
  std::shared_ptr<Recorder> recorder_;
};

}  // namespace orvo_test
