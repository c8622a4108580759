#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "killswitch/kill_switch_config.h"
#include "killswitch/kill_switch_rules.h"
#include "platform/host_resolver.h"
#include "platform/wfp_engine.h"

namespace orvo_vpn_win_svc {

// Owns everything the service installs in the filtering engine: one dynamic session, one
// provider, one sublayer, the kill switch's filters and the IPv6 block. Works only with
// administrator rights; without them it stays uninitialised and every operation fails cleanly.
class WfpManager {
 public:
  static constexpr platform::WfpKey kProviderKey =
      platform::WfpKey::FromText("{A1B2C3D4-E5F6-7890-ABCD-EF1234567890}");
  static constexpr platform::WfpKey kSublayerKey =
      platform::WfpKey::FromText("{12345678-90AB-CDEF-1234-567890ABCDEF}");

  WfpManager(std::shared_ptr<platform::WfpEngine> wfp,
             std::shared_ptr<platform::HostResolver> resolver);
  // Removes what the manager installed and closes the session.
  ~WfpManager();
  WfpManager(const WfpManager&) = delete;
  WfpManager& operator=(const WfpManager&) = delete;

  // The process's one manager, on the system's engine and resolver; cleaned up at exit.
  static WfpManager& Instance();

  // Opens the session and registers provider and sublayer; true also when already done.
  bool Initialize();
  // Installs the kill switch for `config` in one transaction. An enabled kill switch is replaced
  // within the same transaction, so block-all never lapses; if the new one cannot be committed
  // the previous one stays in force and the result is false.
  bool EnableKillSwitch(const KillSwitchConfig& config);
  // True, unless a filter of the kill switch could not be deleted (it then stays enabled).
  bool DisableKillSwitch();
  // Read without taking the lock.
  bool IsKillSwitchEnabled() const;
  bool BlockIPv6();
  // True, unless the block's filter could not be deleted (it then stays in place).
  bool UnblockIPv6();
  // The text of the last failure.
  std::string last_error() const;

 private:
  // Each of these is called with mutex_ held; the kill switch's steps append the ids of the
  // filters they add to `added`.
  bool AddPermitIpFilter(const KillSwitchRule& rule, std::vector<uint64_t>& added);
  bool AddPermitApplicationFilter(const KillSwitchRule& rule, std::vector<uint64_t>& added);
  void AddPermitFilter(const KillSwitchRule& rule, std::vector<uint64_t>& added);
  bool AddBlockAllFilter(const KillSwitchRule& rule, std::vector<uint64_t>& added);
  bool InstallPlan(const std::vector<KillSwitchRule>& plan, std::vector<uint64_t>& added);
  void RollBack(std::vector<uint64_t>& added);
  bool RemoveKillSwitchFilters();
  bool DeleteFilters(std::vector<uint64_t>& ids);
  std::vector<std::string> AllowlistAddresses(const KillSwitchConfig& config);
  std::vector<std::string> ResolveHostname(const std::string& name);

  const std::shared_ptr<platform::WfpEngine> wfp_;
  const std::shared_ptr<platform::HostResolver> resolver_;

  std::unique_ptr<platform::WfpSession> engine_;  // null when not initialised
  const platform::WfpKey provider_key_ = kProviderKey;
  const platform::WfpKey sublayer_key_ = kSublayerKey;
  std::vector<uint64_t> filter_ids_;  // the kill switch's filters, in the order they were added
  bool initialized_ = false;
  std::atomic<bool> kill_switch_enabled_{false};
  bool ipv6_blocked_ = false;
  std::string last_error_;
  mutable std::mutex mutex_;
  std::vector<uint64_t> ipv6_filter_ids_;
};

}  // namespace orvo_vpn_win_svc
