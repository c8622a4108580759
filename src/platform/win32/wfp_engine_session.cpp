#include "platform/win32/wfp_engine_session.h"

#include <deque>
#include <string>
#include <type_traits>
#include <vector>

#include "platform/win32/wfp_constants.h"

namespace orvo_vpn_win_svc::platform {
namespace {

using win32_wfp::FieldGuid;
using win32_wfp::LayerGuid;
using win32_wfp::ToGuid;

// Display data points into strings of its own, so the structure stays valid while in use.
class DisplayData {
 public:
  DisplayData(const std::wstring& name, const std::wstring& description)
      : name_(name), description_(description) {
    data_.name = name_.data();
    // An empty description is no description.
    data_.description = description_.empty() ? nullptr : description_.data();
  }
  DisplayData(const DisplayData&) = delete;
  DisplayData& operator=(const DisplayData&) = delete;

  const FWPM_DISPLAY_DATA0& get() const { return data_; }

 private:
  std::wstring name_;
  std::wstring description_;
  FWPM_DISPLAY_DATA0 data_{};
};

FWP_MATCH_TYPE MatchType(WfpMatch match) {
  switch (match) {
    case WfpMatch::kEqual:
      return FWP_MATCH_EQUAL;
    case WfpMatch::kRange:
      return FWP_MATCH_RANGE;
    case WfpMatch::kFlagsAllSet:
      return FWP_MATCH_FLAGS_ALL_SET;
    case WfpMatch::kFlagsNoneSet:
      return FWP_MATCH_FLAGS_NONE_SET;
  }
  return FWP_MATCH_EQUAL;
}

// The conditions of one filter in the system's form, with every value they point to kept alive
// (deques do not move their elements as they grow).
class FilterConditions {
 public:
  explicit FilterConditions(const std::vector<WfpCondition>& conditions) {
    for (const WfpCondition& condition : conditions) {
      FWPM_FILTER_CONDITION0 entry{};
      entry.fieldKey = FieldGuid(condition.field);
      entry.matchType = MatchType(condition.match);
      std::visit([&](const auto& value) { Store(value, entry.conditionValue); }, condition.value);
      conditions_.push_back(entry);
    }
  }
  FilterConditions(const FilterConditions&) = delete;
  FilterConditions& operator=(const FilterConditions&) = delete;

  UINT32 count() const { return static_cast<UINT32>(conditions_.size()); }
  FWPM_FILTER_CONDITION0* data() { return conditions_.empty() ? nullptr : conditions_.data(); }

 private:
  void Store(uint8_t value, FWP_CONDITION_VALUE0& out) {
    out.type = FWP_UINT8;
    out.uint8 = value;
  }
  void Store(uint16_t value, FWP_CONDITION_VALUE0& out) {
    out.type = FWP_UINT16;
    out.uint16 = value;
  }
  void Store(uint32_t value, FWP_CONDITION_VALUE0& out) {
    out.type = FWP_UINT32;
    out.uint32 = value;
  }
  void Store(uint64_t value, FWP_CONDITION_VALUE0& out) {
    out.type = FWP_UINT64;
    out.uint64 = &uint64s_.emplace_back(value);
  }
  void Store(const WfpV4AddressMask& value, FWP_CONDITION_VALUE0& out) {
    out.type = FWP_V4_ADDR_MASK;
    out.v4AddrMask = &v4_networks_.emplace_back(FWP_V4_ADDR_AND_MASK{value.address, value.mask});
  }
  void Store(const WfpV6AddressPrefix& value, FWP_CONDITION_VALUE0& out) {
    FWP_V6_ADDR_AND_MASK& network = v6_networks_.emplace_back();
    for (size_t i = 0; i < value.address.size(); ++i) {
      network.addr[i] = value.address[i];
    }
    network.prefixLength = value.prefix_length;
    out.type = FWP_V6_ADDR_MASK;
    out.v6AddrMask = &network;
  }
  void Store(const WfpUint16Range& value, FWP_CONDITION_VALUE0& out) {
    FWP_RANGE0& range = ranges_.emplace_back();
    range.valueLow.type = FWP_UINT16;
    range.valueLow.uint16 = value.low;
    range.valueHigh.type = FWP_UINT16;
    range.valueHigh.uint16 = value.high;
    out.type = FWP_RANGE_TYPE;
    out.rangeValue = &range;
  }
  void Store(const WfpByteBlob& value, FWP_CONDITION_VALUE0& out) {
    std::vector<UINT8>& bytes = blob_bytes_.emplace_back(value.begin(), value.end());
    FWP_BYTE_BLOB& blob = blobs_.emplace_back();
    blob.size = static_cast<UINT32>(bytes.size());
    blob.data = bytes.data();
    out.type = FWP_BYTE_BLOB_TYPE;
    out.byteBlob = &blob;
  }

  std::deque<UINT64> uint64s_;
  std::deque<FWP_V4_ADDR_AND_MASK> v4_networks_;
  std::deque<FWP_V6_ADDR_AND_MASK> v6_networks_;
  std::deque<FWP_RANGE0> ranges_;
  std::deque<std::vector<UINT8>> blob_bytes_;
  std::deque<FWP_BYTE_BLOB> blobs_;
  std::vector<FWPM_FILTER_CONDITION0> conditions_;
};

}  // namespace

Win32WfpSession::Win32WfpSession(HANDLE engine) : engine_(engine) {}

Win32WfpSession::~Win32WfpSession() {
  FwpmEngineClose0(engine_);
}

uint32_t Win32WfpSession::AddProvider(const WfpProvider& provider) {
  const DisplayData display(provider.name, provider.description);
  FWPM_PROVIDER0 entry{};
  entry.providerKey = ToGuid(provider.key);
  entry.displayData = display.get();
  entry.flags = 0;
  return FwpmProviderAdd0(engine_, &entry, nullptr);
}

uint32_t Win32WfpSession::DeleteProvider(const WfpKey& key) {
  const GUID guid = ToGuid(key);
  return FwpmProviderDeleteByKey0(engine_, &guid);
}

uint32_t Win32WfpSession::AddSubLayer(const WfpSubLayer& sublayer) {
  const DisplayData display(sublayer.name, sublayer.description);
  GUID provider = ToGuid(sublayer.provider);
  FWPM_SUBLAYER0 entry{};
  entry.subLayerKey = ToGuid(sublayer.key);
  entry.displayData = display.get();
  entry.flags = 0;
  entry.providerKey = &provider;
  entry.weight = sublayer.weight;
  return FwpmSubLayerAdd0(engine_, &entry, nullptr);
}

uint32_t Win32WfpSession::DeleteSubLayer(const WfpKey& key) {
  const GUID guid = ToGuid(key);
  return FwpmSubLayerDeleteByKey0(engine_, &guid);
}

WfpFilterAdd Win32WfpSession::AddFilter(const WfpFilter& filter) {
  const DisplayData display(filter.name, filter.description);
  FilterConditions conditions(filter.conditions);
  FWPM_FILTER0 entry{};
  entry.displayData = display.get();
  entry.flags = 0;
  entry.layerKey = LayerGuid(filter.layer);
  entry.subLayerKey = ToGuid(filter.sublayer);
  entry.weight.type = FWP_UINT8;
  entry.weight.uint8 = filter.weight;
  entry.numFilterConditions = conditions.count();
  entry.filterCondition = conditions.data();
  entry.action.type = filter.action == WfpAction::kPermit ? FWP_ACTION_PERMIT : FWP_ACTION_BLOCK;
  UINT64 id = 0;
  const DWORD code = FwpmFilterAdd0(engine_, &entry, nullptr, &id);
  return {code, code == ERROR_SUCCESS ? id : 0};
}

uint32_t Win32WfpSession::DeleteFilter(uint64_t id) {
  return FwpmFilterDeleteById0(engine_, id);
}

uint32_t Win32WfpSession::BeginTransaction() {
  return FwpmTransactionBegin0(engine_, 0);
}

uint32_t Win32WfpSession::CommitTransaction() {
  return FwpmTransactionCommit0(engine_);
}

uint32_t Win32WfpSession::AbortTransaction() {
  return FwpmTransactionAbort0(engine_);
}

}  // namespace orvo_vpn_win_svc::platform
