#include "fakes/in_memory_wfp_engine.h"

#include <filesystem>
#include <map>
#include <mutex>
#include <optional>

#include "platform/text_encoding.h"
#include "platform/wfp_filter_order.h"

namespace orvo_test {

using namespace orvo_vpn_win_svc::platform;

namespace {

// Each object with the session that added it.
struct Objects {
  std::map<WfpKey, uint64_t> providers;
  std::map<WfpKey, uint64_t> sublayers;
  std::map<uint64_t, std::pair<WfpFilter, uint64_t>> filters;
};

}  // namespace

struct InMemoryWfpEngine::State {
  std::mutex mutex;
  bool administrator = true;
  Objects committed;
  uint64_t next_filter_id = 65537;
  uint64_t next_session_id = 1;
};

namespace {

bool ConditionHolds(const WfpCondition& condition, const WfpConnection& c) {
  const WfpConditionValue& value = condition.value;
  if (const auto* range = std::get_if<WfpUint16Range>(&value)) {
    const uint16_t port = condition.field == WfpField::kIpLocalPort ? c.local_port : c.remote_port;
    return port >= range->low && port <= range->high;
  }
  if (const auto* v6 = std::get_if<WfpV6AddressPrefix>(&value)) {
    for (size_t bit = 0; bit < v6->prefix_length; ++bit) {
      const auto mask = static_cast<uint8_t>(0x80u >> (bit % 8));
      if ((v6->address[bit / 8] & mask) != (c.remote_ipv6[bit / 8] & mask)) return false;
    }
    return c.layer == WfpLayer::kAleAuthConnectV6;
  }
  if (const auto* v4 = std::get_if<WfpV4AddressMask>(&value)) {
    return (c.remote_ipv4 & v4->mask) == (v4->address & v4->mask);
  }
  switch (condition.field) {
    case WfpField::kIpRemoteAddress: return value == WfpConditionValue(c.remote_ipv4);
    case WfpField::kIpProtocol: return value == WfpConditionValue(c.protocol);
    case WfpField::kIpLocalPort: return value == WfpConditionValue(c.local_port);
    case WfpField::kIpRemotePort: return value == WfpConditionValue(c.remote_port);
    case WfpField::kIpLocalInterface: return value == WfpConditionValue(c.local_interface);
    case WfpField::kAleAppId: return value == WfpConditionValue(c.app_id);
    case WfpField::kFlags: {
      const uint32_t flags = c.loopback ? kWfpConditionFlagIsLoopback : 0;
      const uint32_t wanted = std::get<uint32_t>(value);
      return condition.match == WfpMatch::kFlagsAllSet ? (flags & wanted) == wanted
                                                       : (flags & wanted) == 0;
    }
  }
  return false;
}

// Conditions on different fields must all hold; among conditions on one field, one suffices.
bool FilterMatches(const WfpFilter& filter, const WfpConnection& connection) {
  for (const WfpCondition& condition : filter.conditions) {
    bool held = false;
    for (const WfpCondition& other : filter.conditions) {
      held = held || (other.field == condition.field && ConditionHolds(other, connection));
    }
    if (!held) {
      return false;
    }
  }
  return true;
}

class Session : public WfpSession {
 public:
  Session(std::shared_ptr<InMemoryWfpEngine::State> state, uint64_t id, bool dynamic)
      : state_(std::move(state)), id_(id), dynamic_(dynamic) {}

  ~Session() override {
    if (dynamic_) {
      std::lock_guard lock(state_->mutex);
      const auto mine = [this](const auto& entry) { return Owner(entry.second) == id_; };
      std::erase_if(state_->committed.filters, mine);
      std::erase_if(state_->committed.sublayers, mine);
      std::erase_if(state_->committed.providers, mine);
    }
  }

  uint32_t AddProvider(const WfpProvider& provider) override {
    return Change([&](Objects& o) { return Add(o.providers, provider.key); });
  }
  uint32_t DeleteProvider(const WfpKey& key) override {
    return Change([&](Objects& o) { return Erase(o.providers, key, kFwpErrorProviderNotFound); });
  }
  uint32_t AddSubLayer(const WfpSubLayer& sublayer) override {
    return Change([&](Objects& o) { return Add(o.sublayers, sublayer.key); });
  }
  uint32_t DeleteSubLayer(const WfpKey& key) override {
    return Change([&](Objects& o) { return Erase(o.sublayers, key, kFwpErrorSubLayerNotFound); });
  }
  WfpFilterAdd AddFilter(const WfpFilter& filter) override {
    uint64_t id = 0;
    const uint32_t code = Change([&](Objects& o) {
      id = state_->next_filter_id++;
      o.filters[id] = {filter, id_};
      return kWfpSuccess;
    });
    return {code, code == kWfpSuccess ? id : 0};
  }
  uint32_t DeleteFilter(uint64_t id) override {
    return Change([&](Objects& o) { return Erase(o.filters, id, kFwpErrorFilterNotFound); });
  }
  uint32_t BeginTransaction() override {
    std::lock_guard lock(state_->mutex);
    if (transaction_) {
      return kFwpErrorTransactionInProgress;
    }
    transaction_ = state_->committed;
    return kWfpSuccess;
  }
  uint32_t CommitTransaction() override { return End(true); }
  uint32_t AbortTransaction() override { return End(false); }

 private:
  static uint64_t Owner(uint64_t owner) { return owner; }
  static uint64_t Owner(const std::pair<WfpFilter, uint64_t>& entry) { return entry.second; }

  template <typename Map, typename Key>
  uint32_t Add(Map& map, const Key& key) {
    return map.emplace(key, id_).second ? kWfpSuccess : kFwpErrorAlreadyExists;
  }
  template <typename Map, typename Key>
  static uint32_t Erase(Map& map, const Key& key, uint32_t not_found) {
    return map.erase(key) == 1 ? kWfpSuccess : not_found;
  }

  // Applies a change to the open transaction's view, else to the committed state.
  template <typename Apply>
  uint32_t Change(Apply apply) {
    std::lock_guard lock(state_->mutex);
    if (!state_->administrator) {
      return kErrorAccessDenied;
    }
    return apply(transaction_ ? *transaction_ : state_->committed);
  }

  uint32_t End(bool commit) {
    std::lock_guard lock(state_->mutex);
    if (!transaction_) {
      return kFwpErrorNoTransactionInProgress;
    }
    if (commit) {
      state_->committed = std::move(*transaction_);
    }
    transaction_.reset();
    return kWfpSuccess;
  }

  std::shared_ptr<InMemoryWfpEngine::State> state_;
  const uint64_t id_;
  const bool dynamic_;
  std::optional<Objects> transaction_;
};

}  // namespace

InMemoryWfpEngine::InMemoryWfpEngine(bool caller_is_administrator)
    : state_(std::make_shared<State>()) {
  state_->administrator = caller_is_administrator;
}

InMemoryWfpEngine::~InMemoryWfpEngine() = default;

WfpSessionOpen InMemoryWfpEngine::OpenSession(const WfpSessionOptions& options) {
  std::lock_guard lock(state_->mutex);
  return {kWfpSuccess, std::make_unique<Session>(state_, state_->next_session_id++, options.dynamic)};
}

WfpAppId InMemoryWfpEngine::GetAppIdFromFileName(const std::wstring& path) {
  const std::string utf8 = orvo_vpn_win_svc::WideToUtf8(path);
  std::error_code error;
  if (path.empty() ||
      !std::filesystem::is_regular_file(std::u8string(utf8.begin(), utf8.end()), error)) {
    return {kErrorFileNotFound, {}};
  }
  WfpByteBlob blob;
  for (const char16_t unit : std::u16string(path.begin(), path.end()) + u'\0') {
    blob.push_back(static_cast<uint8_t>(unit & 0xFF));
    blob.push_back(static_cast<uint8_t>(unit >> 8));
  }
  return {kWfpSuccess, blob};
}

WfpVerdict InMemoryWfpEngine::Classify(const WfpConnection& connection,
                                       const WfpKey& sublayer) const {
  std::lock_guard lock(state_->mutex);
  const WfpFilter* best = nullptr;
  WfpVerdict verdict;
  for (const auto& [id, entry] : state_->committed.filters) {
    const WfpFilter& filter = entry.first;
    if (filter.sublayer != sublayer || filter.layer != connection.layer ||
        !FilterMatches(filter, connection)) {
      continue;
    }
    const bool permit = filter.action == WfpAction::kPermit;
    const auto order = best ? CompareWfpFilterPrecedence(filter, *best) : std::weak_ordering::less;
    if (order < 0) {
      best = &filter;
      verdict = {permit, id};
    } else if (order == 0 && permit != verdict.permitted) {
      verdict.permitted = false;
    }
  }
  return verdict;
}

std::vector<WfpFilterEntry> InMemoryWfpEngine::CommittedFilters() const {
  std::lock_guard lock(state_->mutex);
  std::vector<WfpFilterEntry> filters;
  for (const auto& [id, entry] : state_->committed.filters) {
    filters.push_back({id, entry.first});
  }
  return filters;
}

}  // namespace orvo_test
