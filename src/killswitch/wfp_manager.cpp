#include "killswitch/wfp_manager.h"

#include <string_view>
#include <utility>

#include "platform/ipv4_literal.h"
#include "platform/log.h"
#include "platform/text_encoding.h"

namespace orvo_vpn_win_svc {
namespace {

using platform::kWfpSuccess;

constexpr uint16_t kSublayerWeight = 0xFFFF;
constexpr size_t kMaxLoggedPathBytes = 511;

std::string WithCode(std::string_view text, uint32_t code) {
  return std::string(text) + std::to_string(code);
}

// At most `limit` bytes of UTF-8, cut before a character rather than inside one.
std::string Utf8Prefix(std::string text, size_t limit) {
  if (text.size() <= limit) {
    return text;
  }
  size_t end = limit;
  while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0u) == 0x80u) {
    --end;
  }
  text.resize(end);
  return text;
}

}  // namespace

WfpManager::WfpManager(std::shared_ptr<platform::WfpEngine> wfp,
                       std::shared_ptr<platform::HostResolver> resolver)
    : wfp_(std::move(wfp)), resolver_(std::move(resolver)) {}

WfpManager::~WfpManager() {
  std::lock_guard lock(mutex_);
  if (!initialized_) {
    return;
  }
  LogLine("WFP: Cleaning up...\n");
  RemoveKillSwitchFilters();
  filter_ids_.clear();
  for (const uint64_t id : ipv6_filter_ids_) {
    engine_->DeleteFilter(id);
  }
  ipv6_filter_ids_.clear();
  ipv6_blocked_ = false;
  engine_->DeleteSubLayer(sublayer_key_);
  engine_->DeleteProvider(provider_key_);
  engine_.reset();
  initialized_ = false;
  kill_switch_enabled_ = false;
  LogLine("WFP: Cleanup complete\n");
}

WfpManager& WfpManager::Instance() {
  static WfpManager instance(platform::SystemWfpEngine(), platform::SystemHostResolver());
  return instance;
}

bool WfpManager::Initialize() {
  std::lock_guard lock(mutex_);
  if (initialized_) {
    return true;
  }
  LogLine("WFP: Initializing...\n");
  platform::WfpSessionOpen opened =
      wfp_->OpenSession({L"ORVO VPN Session", L"ORVO VPN Kill Switch Session", true, 0});
  if (opened.code != kWfpSuccess) {
    last_error_ = WithCode("FwpmEngineOpen failed: ", opened.code);
    LogLine("WFP: %s\n", last_error_.c_str());
    return false;
  }
  engine_ = std::move(opened.session);

  const uint32_t provider_code =
      engine_->AddProvider({provider_key_, L"ORVO VPN Kill Switch Provider",
                            L"Provides kill switch functionality for ORVO VPN"});
  if (provider_code != kWfpSuccess && provider_code != platform::kFwpErrorAlreadyExists) {
    if (provider_code == platform::kErrorAccessDenied) {
      last_error_ = "FwpmProviderAdd: ACCESS_DENIED - requires administrator privileges";
      LogLine("WFP: %s\n", last_error_.c_str());
      LogLine("WFP: Kill switch will be disabled (not running as admin)\n");
    } else {
      last_error_ = WithCode("FwpmProviderAdd failed: ", provider_code);
      LogLine("WFP: %s\n", last_error_.c_str());
    }
    engine_.reset();
    LogLine("WFP: Initialization failed (will continue without kill switch)\n");
    return false;
  }
  LogLine("WFP: Provider registered\n");

  const uint32_t sublayer_code =
      engine_->AddSubLayer({sublayer_key_, L"ORVO VPN Filters", L"Kill switch filter sublayer",
                            provider_key_, kSublayerWeight});
  if (sublayer_code != kWfpSuccess && sublayer_code != platform::kFwpErrorAlreadyExists) {
    last_error_ = WithCode("FwpmSubLayerAdd failed: ", sublayer_code);
    LogLine("WFP: %s\n", last_error_.c_str());
    engine_.reset();
    LogLine("WFP: Sublayer registration failed\n");
    return false;
  }
  LogLine("WFP: Sublayer registered\n");

  initialized_ = true;
  LogLine("WFP: Initialized successfully\n");
  return true;
}

bool WfpManager::EnableKillSwitch(const KillSwitchConfig& config) {
  std::lock_guard lock(mutex_);
  if (!initialized_) {
    last_error_ = "WfpManager not initialized (requires administrator privileges)";
    LogLine("WFP: Cannot enable kill switch - not initialized\n");
    return false;
  }
  LogLine("WFP: EnableKillSwitch called\n");
  const std::vector<KillSwitchRule> plan =
      PlanKillSwitch(config, AllowlistAddresses(config), sublayer_key_);

  if (const uint32_t code = engine_->BeginTransaction(); code != kWfpSuccess) {
    last_error_ = WithCode("FwpmTransactionBegin failed: ", code);
    LogLine("WFP: %s\n", last_error_.c_str());
    return false;
  }
  // The previous kill switch leaves in the transaction that brings the new one, so there is no
  // moment without block-all. A filter already gone is no obstacle; one that cannot be deleted
  // would outlive the replacement untracked, so the replacement is given up instead.
  for (const uint64_t id : filter_ids_) {
    const uint32_t code = engine_->DeleteFilter(id);
    if (code != kWfpSuccess && code != platform::kFwpErrorFilterNotFound) {
      last_error_ = WithCode("FwpmFilterDeleteById failed: ", code);
      LogLine("WFP: %s\n", last_error_.c_str());
      std::vector<uint64_t> none;
      RollBack(none);
      return false;
    }
  }

  std::vector<uint64_t> added;
  if (!InstallPlan(plan, added)) {
    RollBack(added);
    return false;
  }
  LogLine("WFP: Block-all filter added\n");
  if (const uint32_t code = engine_->CommitTransaction(); code != kWfpSuccess) {
    last_error_ = WithCode("FwpmTransactionCommit failed: ", code);
    LogLine("WFP: %s\n", last_error_.c_str());
    RollBack(added);
    return false;
  }
  filter_ids_ = std::move(added);
  kill_switch_enabled_ = true;
  LogLine("WFP: Kill switch ENABLED with %zu filters\n", filter_ids_.size());
  return true;
}

bool WfpManager::InstallPlan(const std::vector<KillSwitchRule>& plan,
                             std::vector<uint64_t>& added) {
  for (const KillSwitchRule& rule : plan) {
    switch (rule.kind) {
      case KillSwitchRuleKind::kPermitServer:
        if (!AddPermitIpFilter(rule, added)) {
          LogLine("WFP: Warning - could not add VPN server permit filter\n");
        }
        break;
      case KillSwitchRuleKind::kPermitAllowlisted:
        if (!AddPermitIpFilter(rule, added)) {
          LogLine("WFP: Warning - could not add allowlist filter for %s\n", rule.target.c_str());
        }
        break;
      case KillSwitchRuleKind::kPermitApplication:
        if (!AddPermitApplicationFilter(rule, added)) {
          LogLine("WFP: Warning - could not add app permit filter\n");
        }
        break;
      case KillSwitchRuleKind::kPermitAlways:
        AddPermitFilter(rule, added);
        break;
      case KillSwitchRuleKind::kBlockAll:
        if (!AddBlockAllFilter(rule, added)) {
          LogLine("WFP: AddBlockAllFilter failed: %s\n", last_error_.c_str());
          return false;
        }
        break;
    }
  }
  return true;
}

// Drops the transaction; the previous kill switch, if any, is untouched by it.
void WfpManager::RollBack(std::vector<uint64_t>& added) {
  engine_->AbortTransaction();
  for (const uint64_t id : added) {
    engine_->DeleteFilter(id);
  }
  added.clear();
}

bool WfpManager::AddPermitIpFilter(const KillSwitchRule& rule, std::vector<uint64_t>& added) {
  if (rule.filters.empty()) {
    LogLine("WFP: Invalid IP address: %s\n", rule.target.c_str());
    return false;
  }
  const platform::WfpFilterAdd result = engine_->AddFilter(rule.filters.front());
  if (result.code != kWfpSuccess) {
    LogLine("WFP: AddPermitIpFilter failed for %s: 0x%08X\n", rule.target.c_str(), result.code);
    return false;
  }
  added.push_back(result.id);
  LogLine("WFP: Added permit filter for %s (%s)\n", rule.target.c_str(), rule.label.c_str());
  return true;
}

bool WfpManager::AddPermitApplicationFilter(const KillSwitchRule& rule,
                                            std::vector<uint64_t>& added) {
  const platform::WfpAppId app_id = wfp_->GetAppIdFromFileName(rule.application);
  if (app_id.code != kWfpSuccess) {
    LogLine("WFP: FwpmGetAppIdFromFileName failed: 0x%08X\n", app_id.code);
    return false;
  }
  const platform::WfpFilterAdd v4 =
      engine_->AddFilter(BindApplication(rule.filters[0], app_id.blob));
  if (v4.code != kWfpSuccess) {
    LogLine("WFP: AddPermitApplicationFilter (IPv4) failed: 0x%08X\n", v4.code);
    return false;
  }
  added.push_back(v4.id);
  const platform::WfpFilterAdd v6 =
      engine_->AddFilter(BindApplication(rule.filters[1], app_id.blob));
  if (v6.code == kWfpSuccess) {
    added.push_back(v6.id);
  }
  LogLine("WFP: Added permit filter for app: %s\n",
          Utf8Prefix(WideToUtf8(rule.application), kMaxLoggedPathBytes).c_str());
  return true;
}

// The permits that hold whatever the user chose are best effort, like the others: without one
// the kill switch blocks more than it should, never less.
void WfpManager::AddPermitFilter(const KillSwitchRule& rule, std::vector<uint64_t>& added) {
  const platform::WfpFilterAdd result = engine_->AddFilter(rule.filters.front());
  if (result.code != kWfpSuccess) {
    LogLine("WFP: Warning - could not add permit filter for %s (%s): 0x%08X\n", rule.target.c_str(),
            rule.label.c_str(), result.code);
    return;
  }
  added.push_back(result.id);
  LogLine("WFP: Added permit filter for %s (%s)\n", rule.target.c_str(), rule.label.c_str());
}

bool WfpManager::AddBlockAllFilter(const KillSwitchRule& rule, std::vector<uint64_t>& added) {
  const platform::WfpFilterAdd v4 = engine_->AddFilter(rule.filters[0]);
  if (v4.code != kWfpSuccess) {
    last_error_ = WithCode("AddBlockAllFilter IPv4 failed: ", v4.code);
    return false;
  }
  added.push_back(v4.id);
  const platform::WfpFilterAdd v6 = engine_->AddFilter(rule.filters[1]);
  if (v6.code == kWfpSuccess) {
    added.push_back(v6.id);
  }
  return true;
}

std::vector<std::string> WfpManager::AllowlistAddresses(const KillSwitchConfig& config) {
  std::vector<std::string> addresses;
  for (const std::string& entry : config.allowlist) {
    if (platform::ParseIpv4Literal(entry)) {
      LogLine("WFP: Allowlist IP: %s\n", entry.c_str());
      addresses.push_back(entry);
      continue;
    }
    for (std::string& address : ResolveHostname(entry)) {
      addresses.push_back(std::move(address));
    }
  }
  return addresses;
}

std::vector<std::string> WfpManager::ResolveHostname(const std::string& name) {
  platform::Ipv4Resolution resolution = resolver_->ResolveIpv4(name);
  if (resolution.error != 0) {
    LogLine("WFP: DNS resolution failed for %s: %d\n", name.c_str(), resolution.error);
    return {};
  }
  for (const std::string& address : resolution.addresses) {
    LogLine("WFP: Resolved %s -> %s\n", name.c_str(), address.c_str());
  }
  return std::move(resolution.addresses);
}

// Deletes the filters of `ids` outside any transaction and keeps in `ids` those that could not
// be deleted (a filter already gone counts as deleted); true when none is left.
bool WfpManager::DeleteFilters(std::vector<uint64_t>& ids) {
  std::vector<uint64_t> kept;
  for (const uint64_t id : ids) {
    const uint32_t code = engine_->DeleteFilter(id);
    if (code != kWfpSuccess && code != platform::kFwpErrorFilterNotFound) {
      last_error_ = WithCode("FwpmFilterDeleteById failed: ", code);
      LogLine("WFP: %s\n", last_error_.c_str());
      kept.push_back(id);
    }
  }
  ids = std::move(kept);
  return ids.empty();
}

bool WfpManager::RemoveKillSwitchFilters() {
  return DeleteFilters(filter_ids_);
}

bool WfpManager::DisableKillSwitch() {
  std::lock_guard lock(mutex_);
  if (!kill_switch_enabled_) {
    return true;
  }
  LogLine("WFP: Disabling kill switch...\n");
  if (!RemoveKillSwitchFilters()) {
    return false;
  }
  kill_switch_enabled_ = false;
  LogLine("WFP: Kill switch disabled\n");
  return true;
}

bool WfpManager::IsKillSwitchEnabled() const {
  return kill_switch_enabled_;
}

bool WfpManager::BlockIPv6() {
  std::lock_guard lock(mutex_);
  if (!initialized_) {
    last_error_ = "WfpManager not initialized";
    LogLine("WFP: Cannot block IPv6 - not initialized\n");
    return false;
  }
  if (ipv6_blocked_) {
    LogLine("WFP: IPv6 already blocked\n");
    return true;
  }
  LogLine("WFP: Blocking IPv6 traffic...\n");
  const platform::WfpFilterAdd result = engine_->AddFilter(PlanIpv6Block(sublayer_key_));
  if (result.code != kWfpSuccess) {
    last_error_ = WithCode("BlockIPv6 failed: ", result.code);
    LogLine("WFP: %s\n", last_error_.c_str());
    return false;
  }
  ipv6_filter_ids_.push_back(result.id);
  ipv6_blocked_ = true;
  LogLine("WFP: IPv6 traffic BLOCKED (filter_id=%llu)\n",
          static_cast<unsigned long long>(result.id));
  return true;
}

bool WfpManager::UnblockIPv6() {
  std::lock_guard lock(mutex_);
  if (!ipv6_blocked_) {
    return true;
  }
  LogLine("WFP: Unblocking IPv6 traffic...\n");
  if (!DeleteFilters(ipv6_filter_ids_)) {
    return false;
  }
  ipv6_blocked_ = false;
  LogLine("WFP: IPv6 traffic UNBLOCKED\n");
  return true;
}

std::string WfpManager::last_error() const {
  std::lock_guard lock(mutex_);
  return last_error_;
}

}  // namespace orvo_vpn_win_svc
