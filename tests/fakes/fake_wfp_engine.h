#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/wfp_engine.h"

namespace orvo_test {

// A filtering engine kept in memory: providers, sublayers and filters, transactions (changes in
// one become visible together at commit, abort drops them), dynamic sessions whose objects go
// when they close, FWP_E_ALREADY_EXISTS for a key in use, the not-found codes, and
// ERROR_ACCESS_DENIED for every change by a caller without administrator rights. Thread-safe.
//
// It records each call and its result as one line of text, and makes chosen calls fail as the
// system can (a failed call changes nothing):
//   OpenSession "ORVO VPN Session" "..." dynamic wait=0 -> ok
//   AddFilter ALE_AUTH_CONNECT_V4 weight=1 BLOCK "ORVO: Block All (Kill Switch)" -> ok id=65540
//   CommitTransaction -> 0x80320012
class FakeWfpEngine : public orvo_vpn_win_svc::platform::WfpEngine {
 public:
  explicit FakeWfpEngine(bool caller_is_administrator = true);
  ~FakeWfpEngine() override;

  orvo_vpn_win_svc::platform::WfpSessionOpen OpenSession(
      const orvo_vpn_win_svc::platform::WfpSessionOptions& options) override;
  // The id of an existing regular file: its path in NUL-terminated UTF-16LE, as the system's ids
  // are device paths in that form; ERROR_FILE_NOT_FOUND otherwise.
  orvo_vpn_win_svc::platform::WfpAppId GetAppIdFromFileName(const std::wstring& path) override;

  // Calls whose text contains `fragment` fail with `code`: only the `occurrence`-th such call
  // (counting from 1), or every one when `occurrence` is 0.
  void Fail(std::string fragment, uint32_t code, int occurrence = 0);
  // The calls so far, one line each.
  std::string Calls() const;

  // The committed filters in id order, one description a line.
  std::string Filters() const;

  struct State;

 private:
  std::shared_ptr<State> state_;
};

}  // namespace orvo_test
