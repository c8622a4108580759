#include "fakes/in_memory_wfp_engine.h"

#include <bit>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <system_error>

#include "platform/text_encoding.h"
#include "platform/wfp_filter_order.h"

namespace orvo_test {

using namespace orvo_vpn_win_svc;
using namespace orvo_vpn_win_svc::platform;

namespace {

template <typename T>
struct Owned {
  T object;
  uint64_t owner = 0;  // the session that added it
};

struct Objects {
  std::map<WfpKey, Owned<WfpProvider>> providers;
  std::map<WfpKey, Owned<WfpSubLayer>> sublayers;
  std::map<uint64_t, Owned<WfpFilter>> filters;
};

struct SessionRecord {
  bool dynamic = false;
  std::optional<Objects> transaction;  // the session's view while it holds a transaction
};

}  // namespace

struct InMemoryWfpEngine::State {
  explicit State(bool administrator) : caller_is_administrator(administrator) {}

  mutable std::mutex mutex;
  const bool caller_is_administrator;
  Objects committed;
  uint64_t next_filter_id = 65537;
  uint64_t next_session_id = 1;
  std::optional<uint64_t> transaction_owner;
  std::map<uint64_t, SessionRecord> sessions;
};

namespace {

using State = InMemoryWfpEngine::State;

bool IsContiguousMask(uint32_t mask) {
  const int ones = std::countl_one(mask);
  return ones == 32 || (mask << ones) == 0;
}

uint32_t ValidateAddress(WfpLayer layer, const WfpCondition& condition) {
  if (layer == WfpLayer::kAleAuthConnectV4) {
    if (const auto* network = std::get_if<WfpV4AddressMask>(&condition.value)) {
      return IsContiguousMask(network->mask) ? kWfpSuccess : kFwpErrorInvalidNetMask;
    }
    return std::holds_alternative<uint32_t>(condition.value) ? kWfpSuccess : kFwpErrorTypeMismatch;
  }
  if (const auto* network = std::get_if<WfpV6AddressPrefix>(&condition.value)) {
    return network->prefix_length <= 128 ? kWfpSuccess : kFwpErrorInvalidNetMask;
  }
  return kFwpErrorTypeMismatch;
}

uint32_t ValidatePort(const WfpCondition& condition) {
  if (std::holds_alternative<uint16_t>(condition.value)) {
    return condition.match == WfpMatch::kEqual ? kWfpSuccess : kFwpErrorMatchTypeMismatch;
  }
  if (const auto* range = std::get_if<WfpUint16Range>(&condition.value)) {
    if (condition.match != WfpMatch::kRange) {
      return kFwpErrorMatchTypeMismatch;
    }
    return range->low <= range->high ? kWfpSuccess : kFwpErrorInvalidRange;
  }
  return kFwpErrorTypeMismatch;
}

// The checks FwpmFilterAdd0 makes on a condition: value type for the field, match type for the
// value, and well-formed values.
uint32_t ValidateCondition(WfpLayer layer, const WfpCondition& condition) {
  const bool equal = condition.match == WfpMatch::kEqual;
  switch (condition.field) {
    case WfpField::kIpRemoteAddress:
      if (!equal) {
        return kFwpErrorMatchTypeMismatch;
      }
      return ValidateAddress(layer, condition);
    case WfpField::kIpProtocol:
      if (!std::holds_alternative<uint8_t>(condition.value)) {
        return kFwpErrorTypeMismatch;
      }
      return equal ? kWfpSuccess : kFwpErrorMatchTypeMismatch;
    case WfpField::kIpLocalPort:
    case WfpField::kIpRemotePort:
      return ValidatePort(condition);
    case WfpField::kIpLocalInterface:
      if (!std::holds_alternative<uint64_t>(condition.value)) {
        return kFwpErrorTypeMismatch;
      }
      return equal ? kWfpSuccess : kFwpErrorMatchTypeMismatch;
    case WfpField::kAleAppId: {
      const auto* blob = std::get_if<WfpByteBlob>(&condition.value);
      if (blob == nullptr) {
        return kFwpErrorTypeMismatch;
      }
      if (!equal) {
        return kFwpErrorMatchTypeMismatch;
      }
      return blob->empty() ? kFwpErrorZeroLengthArray : kWfpSuccess;
    }
    case WfpField::kFlags:
      if (!std::holds_alternative<uint32_t>(condition.value)) {
        return kFwpErrorTypeMismatch;
      }
      return condition.match == WfpMatch::kFlagsAllSet || condition.match == WfpMatch::kFlagsNoneSet
                 ? kWfpSuccess
                 : kFwpErrorMatchTypeMismatch;
  }
  return kFwpErrorConditionNotFound;
}

bool Ipv6PrefixMatches(const WfpV6AddressPrefix& network, const std::array<uint8_t, 16>& address) {
  for (size_t bit = 0; bit < network.prefix_length; ++bit) {
    const auto mask = static_cast<uint8_t>(0x80u >> (bit % 8));
    if ((network.address[bit / 8] & mask) != (address[bit / 8] & mask)) {
      return false;
    }
  }
  return true;
}

bool PortMatches(const WfpCondition& condition, uint16_t port) {
  if (const auto* range = std::get_if<WfpUint16Range>(&condition.value)) {
    return port >= range->low && port <= range->high;
  }
  return std::get<uint16_t>(condition.value) == port;
}

// Conditions are validated when added, so each value has the type its field and layer expect.
bool ConditionHolds(const WfpCondition& condition, const WfpConnection& connection) {
  switch (condition.field) {
    case WfpField::kIpRemoteAddress:
      if (connection.layer == WfpLayer::kAleAuthConnectV6) {
        return Ipv6PrefixMatches(std::get<WfpV6AddressPrefix>(condition.value),
                                 connection.remote_ipv6);
      }
      if (const auto* network = std::get_if<WfpV4AddressMask>(&condition.value)) {
        return (connection.remote_ipv4 & network->mask) == (network->address & network->mask);
      }
      return std::get<uint32_t>(condition.value) == connection.remote_ipv4;
    case WfpField::kIpProtocol:
      return std::get<uint8_t>(condition.value) == connection.protocol;
    case WfpField::kIpLocalPort:
      return PortMatches(condition, connection.local_port);
    case WfpField::kIpRemotePort:
      return PortMatches(condition, connection.remote_port);
    case WfpField::kIpLocalInterface:
      return std::get<uint64_t>(condition.value) == connection.local_interface;
    case WfpField::kAleAppId:
      return std::get<WfpByteBlob>(condition.value) == connection.app_id;
    case WfpField::kFlags: {
      const uint32_t flags = connection.loopback ? kWfpConditionFlagIsLoopback : 0;
      const uint32_t wanted = std::get<uint32_t>(condition.value);
      return condition.match == WfpMatch::kFlagsAllSet ? (flags & wanted) == wanted
                                                       : (flags & wanted) == 0;
    }
  }
  return false;
}

// Conditions on different fields must all hold; among conditions on one field, one suffices.
bool FilterMatches(const WfpFilter& filter, const WfpConnection& connection) {
  constexpr WfpField kFields[] = {WfpField::kIpRemoteAddress,
                                  WfpField::kIpProtocol,
                                  WfpField::kIpLocalPort,
                                  WfpField::kIpRemotePort,
                                  WfpField::kIpLocalInterface,
                                  WfpField::kAleAppId,
                                  WfpField::kFlags};
  for (const WfpField field : kFields) {
    bool present = false;
    bool held = false;
    for (const WfpCondition& condition : filter.conditions) {
      if (condition.field == field) {
        present = true;
        held = held || ConditionHolds(condition, connection);
      }
    }
    if (present && !held) {
      return false;
    }
  }
  return true;
}

class InMemoryWfpSession : public WfpSession {
 public:
  InMemoryWfpSession(std::shared_ptr<State> state, uint64_t id)
      : state_(std::move(state)), id_(id) {}

  ~InMemoryWfpSession() override {
    std::lock_guard lock(state_->mutex);
    if (state_->transaction_owner == id_) {
      state_->transaction_owner.reset();
    }
    if (Record().dynamic) {
      Objects& objects = state_->committed;
      std::erase_if(objects.filters, [&](const auto& entry) { return entry.second.owner == id_; });
      std::erase_if(objects.sublayers,
                    [&](const auto& entry) { return entry.second.owner == id_; });
      std::erase_if(objects.providers,
                    [&](const auto& entry) { return entry.second.owner == id_; });
    }
    state_->sessions.erase(id_);
  }

  InMemoryWfpSession(const InMemoryWfpSession&) = delete;
  InMemoryWfpSession& operator=(const InMemoryWfpSession&) = delete;

  uint32_t AddProvider(const WfpProvider& provider) override {
    std::lock_guard lock(state_->mutex);
    Objects* objects = nullptr;
    if (const uint32_t code = Writable(&objects); code != kWfpSuccess) {
      return code;
    }
    if (provider.name.empty()) {
      return kFwpErrorNullDisplayName;
    }
    if (objects->providers.contains(provider.key)) {
      return kFwpErrorAlreadyExists;
    }
    objects->providers[provider.key] = {provider, id_};
    return kWfpSuccess;
  }

  uint32_t DeleteProvider(const WfpKey& key) override {
    std::lock_guard lock(state_->mutex);
    Objects* objects = nullptr;
    if (const uint32_t code = Writable(&objects); code != kWfpSuccess) {
      return code;
    }
    if (!objects->providers.contains(key)) {
      return kFwpErrorProviderNotFound;
    }
    for (const auto& [sublayer_key, sublayer] : objects->sublayers) {
      if (sublayer.object.provider == key) {
        return kFwpErrorInUse;
      }
    }
    objects->providers.erase(key);
    return kWfpSuccess;
  }

  uint32_t AddSubLayer(const WfpSubLayer& sublayer) override {
    std::lock_guard lock(state_->mutex);
    Objects* objects = nullptr;
    if (const uint32_t code = Writable(&objects); code != kWfpSuccess) {
      return code;
    }
    if (sublayer.name.empty()) {
      return kFwpErrorNullDisplayName;
    }
    if (objects->sublayers.contains(sublayer.key)) {
      return kFwpErrorAlreadyExists;
    }
    if (sublayer.provider != WfpKey{} && !objects->providers.contains(sublayer.provider)) {
      return kFwpErrorProviderNotFound;
    }
    objects->sublayers[sublayer.key] = {sublayer, id_};
    return kWfpSuccess;
  }

  uint32_t DeleteSubLayer(const WfpKey& key) override {
    std::lock_guard lock(state_->mutex);
    Objects* objects = nullptr;
    if (const uint32_t code = Writable(&objects); code != kWfpSuccess) {
      return code;
    }
    if (!objects->sublayers.contains(key)) {
      return kFwpErrorSubLayerNotFound;
    }
    for (const auto& [id, filter] : objects->filters) {
      if (filter.object.sublayer == key) {
        return kFwpErrorInUse;
      }
    }
    objects->sublayers.erase(key);
    return kWfpSuccess;
  }

  WfpFilterAdd AddFilter(const WfpFilter& filter) override {
    std::lock_guard lock(state_->mutex);
    Objects* objects = nullptr;
    if (const uint32_t code = Writable(&objects); code != kWfpSuccess) {
      return {code, 0};
    }
    if (filter.name.empty()) {
      return {kFwpErrorNullDisplayName, 0};
    }
    if (filter.weight > kWfpMaxFilterWeight) {
      return {kFwpErrorInvalidWeight, 0};
    }
    if (!objects->sublayers.contains(filter.sublayer)) {
      return {kFwpErrorSubLayerNotFound, 0};
    }
    for (const WfpCondition& condition : filter.conditions) {
      if (const uint32_t code = ValidateCondition(filter.layer, condition); code != kWfpSuccess) {
        return {code, 0};
      }
    }
    const uint64_t id = state_->next_filter_id++;
    objects->filters[id] = {filter, id_};
    return {kWfpSuccess, id};
  }

  uint32_t DeleteFilter(uint64_t id) override {
    std::lock_guard lock(state_->mutex);
    Objects* objects = nullptr;
    if (const uint32_t code = Writable(&objects); code != kWfpSuccess) {
      return code;
    }
    return objects->filters.erase(id) == 1 ? kWfpSuccess : kFwpErrorFilterNotFound;
  }

  uint32_t BeginTransaction() override {
    std::lock_guard lock(state_->mutex);
    if (Record().transaction) {
      return kFwpErrorTransactionInProgress;
    }
    if (state_->transaction_owner) {
      return kFwpErrorTimeout;
    }
    Record().transaction = state_->committed;
    state_->transaction_owner = id_;
    return kWfpSuccess;
  }

  uint32_t CommitTransaction() override {
    std::lock_guard lock(state_->mutex);
    SessionRecord& record = Record();
    if (!record.transaction) {
      return kFwpErrorNoTransactionInProgress;
    }
    state_->committed = std::move(*record.transaction);
    record.transaction.reset();
    state_->transaction_owner.reset();
    return kWfpSuccess;
  }

  uint32_t AbortTransaction() override {
    std::lock_guard lock(state_->mutex);
    SessionRecord& record = Record();
    if (!record.transaction) {
      return kFwpErrorNoTransactionInProgress;
    }
    record.transaction.reset();
    state_->transaction_owner.reset();
    return kWfpSuccess;
  }

 private:
  SessionRecord& Record() { return state_->sessions.at(id_); }

  // The objects a change of this session applies to: its transaction's view, or the committed
  // state. Another session's transaction holds every other writer off, as the system's lock does.
  uint32_t Writable(Objects** objects) {
    if (!state_->caller_is_administrator) {
      return kErrorAccessDenied;
    }
    SessionRecord& record = Record();
    if (record.transaction) {
      *objects = &*record.transaction;
      return kWfpSuccess;
    }
    if (state_->transaction_owner) {
      return kFwpErrorTimeout;
    }
    *objects = &state_->committed;
    return kWfpSuccess;
  }

  std::shared_ptr<State> state_;
  const uint64_t id_;
};

WfpByteBlob Utf16LittleEndianWithNul(const std::wstring& text) {
  WfpByteBlob blob;
  const auto append = [&blob](uint32_t unit) {
    blob.push_back(static_cast<uint8_t>(unit & 0xFFu));
    blob.push_back(static_cast<uint8_t>(unit >> 8));
  };
  for (const wchar_t c : text) {
    const auto code_point = static_cast<uint32_t>(c);
    if (code_point > 0xFFFF) {
      append(0xD800u + ((code_point - 0x10000u) >> 10));
      append(0xDC00u + ((code_point - 0x10000u) & 0x3FFu));
    } else {
      append(code_point);
    }
  }
  append(0);
  return blob;
}

}  // namespace

InMemoryWfpEngine::InMemoryWfpEngine(bool caller_is_administrator)
    : state_(std::make_shared<State>(caller_is_administrator)) {}

InMemoryWfpEngine::~InMemoryWfpEngine() = default;

WfpSessionOpen InMemoryWfpEngine::OpenSession(const WfpSessionOptions& options) {
  std::lock_guard lock(state_->mutex);
  const uint64_t id = state_->next_session_id++;
  state_->sessions[id] = SessionRecord{options.dynamic, std::nullopt};
  return {kWfpSuccess, std::make_unique<InMemoryWfpSession>(state_, id)};
}

WfpAppId InMemoryWfpEngine::GetAppIdFromFileName(const std::wstring& path) {
  const std::string utf8 = WideToUtf8(path);
  const std::filesystem::path file(std::u8string(utf8.begin(), utf8.end()));
  std::error_code error;
  if (path.empty() || !std::filesystem::is_regular_file(file, error)) {
    return {kErrorFileNotFound, {}};
  }
  return {kWfpSuccess, Utf16LittleEndianWithNul(path)};
}

WfpVerdict InMemoryWfpEngine::Classify(const WfpConnection& connection,
                                       const WfpKey& sublayer) const {
  std::lock_guard lock(state_->mutex);
  const WfpFilter* best = nullptr;
  WfpVerdict verdict;
  for (const auto& [id, entry] : state_->committed.filters) {
    const WfpFilter& filter = entry.object;
    if (filter.sublayer != sublayer || filter.layer != connection.layer ||
        !FilterMatches(filter, connection)) {
      continue;
    }
    const bool permit = filter.action == WfpAction::kPermit;
    const std::weak_ordering order =
        best == nullptr ? std::weak_ordering::less : CompareWfpFilterPrecedence(filter, *best);
    if (order < 0) {
      best = &filter;
      verdict = {permit, id, false};
    } else if (order == 0 && permit != verdict.permitted) {
      verdict.tied = true;
    }
  }
  if (verdict.tied) {
    verdict.permitted = false;
  }
  return verdict;
}

std::vector<WfpFilterEntry> InMemoryWfpEngine::CommittedFilters() const {
  std::lock_guard lock(state_->mutex);
  std::vector<WfpFilterEntry> filters;
  for (const auto& [id, entry] : state_->committed.filters) {
    filters.push_back({id, entry.object});
  }
  return filters;
}

bool InMemoryWfpEngine::HasProvider(const WfpKey& key) const {
  std::lock_guard lock(state_->mutex);
  return state_->committed.providers.contains(key);
}

bool InMemoryWfpEngine::HasSubLayer(const WfpKey& key) const {
  std::lock_guard lock(state_->mutex);
  return state_->committed.sublayers.contains(key);
}

size_t InMemoryWfpEngine::OpenSessionCount() const {
  std::lock_guard lock(state_->mutex);
  return state_->sessions.size();
}

}  // namespace orvo_test
