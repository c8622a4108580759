// TEST EQUIPMENT, not the Windows Filtering Platform: an fwpuclnt.dll for Wine, whose own opens
// no engine. It checks every argument of the thirteen calls the service makes as Microsoft
// documents them, answers a departure with the documented code, and keeps what the calls create
// in the unit tests' in-memory engine (FakeWfpEngine), so its calls and filters read as the same
// text the golden files hold. The exports of stand_in_controls.h let a test reset that engine,
// make calls fail and read its text.

#include <windows.h>

#include <fwpmu.h>
#include <rpc.h>

#include <algorithm>
#include <array>
#include <bit>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>

#include "fakes/fake_wfp_engine.h"
#include "published_values.h"
#include "stand_in_controls.h"

namespace {

using namespace orvo_vpn_win_svc::platform;
using namespace fwpuclnt_stand_in;

// Valid by the documentation, but outside what the in-memory engine holds (callouts, persistent
// objects, keys chosen by the caller, other match types). No real engine answers this code.
constexpr DWORD kNotModelled = ERROR_CALL_NOT_IMPLEMENTED;

#define REFUSE_IF(condition, code) \
  if (condition)                   \
  return static_cast<DWORD>(code)
#define CHECK(call)                                                 \
  if (const DWORD check_code = (call); check_code != ERROR_SUCCESS) \
  return check_code

// An application id handed out, its blob pointing into its bytes.
struct AppId {
  WfpByteBlob bytes;
  FWP_BYTE_BLOB blob{static_cast<UINT32>(bytes.size()), bytes.data()};
};

struct State {
  std::mutex mutex;
  std::shared_ptr<orvo_test::FakeWfpEngine> engine = std::make_shared<orvo_test::FakeWfpEngine>();
  std::map<uintptr_t, std::unique_ptr<WfpSession>> sessions;
  uintptr_t last_handle = 0;
  std::map<const void*, std::unique_ptr<AppId>> app_ids;  // handed out, not yet freed
};
State& g = *new State();  // never destroyed: the process may still call in while it exits

// The portable key has the GUID's fields, in its order.
WfpKey Key(const GUID& guid) {
  return std::bit_cast<WfpKey>(guid);
}

DWORD Names(const FWPM_DISPLAY_DATA0& display, std::wstring& name, std::wstring& description) {
  REFUSE_IF(display.name == nullptr, FWP_E_NULL_DISPLAY_NAME);
  name = display.name;
  description = display.description == nullptr ? L"" : display.description;
  return ERROR_SUCCESS;
}

// The value types each field of kConditionKeys takes on the IPv4 and on the IPv6 connect layer.
constexpr FWP_DATA_TYPE kFieldTypes[][2][2] = {
    {{FWP_UINT32, FWP_V4_ADDR_MASK}, {FWP_BYTE_ARRAY16_TYPE, FWP_V6_ADDR_MASK}},
    {{FWP_UINT8, FWP_UINT8}, {FWP_UINT8, FWP_UINT8}},
    {{FWP_UINT16, FWP_RANGE_TYPE}, {FWP_UINT16, FWP_RANGE_TYPE}},
    {{FWP_UINT16, FWP_RANGE_TYPE}, {FWP_UINT16, FWP_RANGE_TYPE}},
    {{FWP_UINT64, FWP_UINT64}, {FWP_UINT64, FWP_UINT64}},
    {{FWP_BYTE_BLOB_TYPE, FWP_BYTE_BLOB_TYPE}, {FWP_BYTE_BLOB_TYPE, FWP_BYTE_BLOB_TYPE}},
    {{FWP_UINT32, FWP_UINT32}, {FWP_UINT32, FWP_UINT32}},
};

WfpV6AddressPrefix V6Network(const UINT8 (&address)[16], UINT8 prefix_length) {
  return {std::bit_cast<std::array<uint8_t, 16>>(address), prefix_length};
}

// A value of a type its field takes.
DWORD Value(const FWP_CONDITION_VALUE0& in, WfpConditionValue& out) {
  // Every type from FWP_UINT64 on is held through a pointer.
  REFUSE_IF(in.type >= FWP_UINT64 && in.uint64 == nullptr, FWP_E_NULL_POINTER);
  switch (in.type) {
    case FWP_UINT8:
      out = in.uint8;
      break;
    case FWP_UINT16:
      out = in.uint16;
      break;
    case FWP_UINT32:
      out = in.uint32;
      break;
    case FWP_UINT64:
      out = *in.uint64;
      break;
    case FWP_V4_ADDR_MASK: {
      const UINT32 host_bits = ~in.v4AddrMask->mask;  // the mask's ones come first
      REFUSE_IF((host_bits & (host_bits + 1)) != 0, FWP_E_INVALID_NET_MASK);
      out = WfpV4AddressMask{in.v4AddrMask->addr, in.v4AddrMask->mask};
      break;
    }
    case FWP_BYTE_ARRAY16_TYPE:
      out = V6Network(in.byteArray16->byteArray16, 128);
      break;
    case FWP_V6_ADDR_MASK:
      REFUSE_IF(in.v6AddrMask->prefixLength > 128, FWP_E_INVALID_NET_MASK);
      out = V6Network(in.v6AddrMask->addr, in.v6AddrMask->prefixLength);
      break;
    case FWP_BYTE_BLOB_TYPE:
      REFUSE_IF(in.byteBlob->size == 0, FWP_E_ZERO_LENGTH_ARRAY);
      REFUSE_IF(in.byteBlob->data == nullptr, FWP_E_NULL_POINTER);
      out = WfpByteBlob(in.byteBlob->data, in.byteBlob->data + in.byteBlob->size);
      break;
    default: {  // FWP_RANGE_TYPE, the only other type a field takes
      const FWP_VALUE0& low = in.rangeValue->valueLow;
      const FWP_VALUE0& high = in.rangeValue->valueHigh;
      REFUSE_IF(low.type != FWP_UINT16 || high.type != FWP_UINT16, FWP_E_TYPE_MISMATCH);
      REFUSE_IF(low.uint16 > high.uint16, FWP_E_INVALID_RANGE);
      out = WfpUint16Range{low.uint16, high.uint16};
    }
  }
  return ERROR_SUCCESS;
}

DWORD Condition(const FWPM_FILTER_CONDITION0& in, bool v6, WfpCondition& out) {
  const auto* key = std::ranges::find(kConditionKeys, in.fieldKey);
  REFUSE_IF(key == std::end(kConditionKeys), FWP_E_CONDITION_NOT_FOUND);
  const auto field = static_cast<size_t>(key - std::begin(kConditionKeys));
  out.field = static_cast<WfpField>(field);
  const FWP_MATCH_TYPE match = in.matchType;
  const FWP_DATA_TYPE type = in.conditionValue.type;
  const bool flag_match = match == FWP_MATCH_FLAGS_ALL_SET || match == FWP_MATCH_FLAGS_ANY_SET ||
                          match == FWP_MATCH_FLAGS_NONE_SET;
  REFUSE_IF(flag_match != (out.field == WfpField::kFlags) ||
                (match == FWP_MATCH_RANGE) != (type == FWP_RANGE_TYPE),
            FWP_E_MATCH_TYPE_MISMATCH);
  REFUSE_IF(std::ranges::count(kFieldTypes[field][v6 ? 1 : 0], type) == 0, FWP_E_TYPE_MISMATCH);
  REFUSE_IF(match == FWP_MATCH_FLAGS_ANY_SET ||
                (!flag_match && match != FWP_MATCH_EQUAL && match != FWP_MATCH_RANGE),
            kNotModelled);
  out.match = match == FWP_MATCH_EQUAL           ? WfpMatch::kEqual
              : match == FWP_MATCH_RANGE         ? WfpMatch::kRange
              : match == FWP_MATCH_FLAGS_ALL_SET ? WfpMatch::kFlagsAllSet
                                                 : WfpMatch::kFlagsNoneSet;
  CHECK(Value(in.conditionValue, out.value));
  if (out.field == WfpField::kIpRemoteAddress && type == FWP_UINT32) {  // a network of one
    out.value = WfpV4AddressMask{in.conditionValue.uint32, 0xFFFFFFFF};
  }
  return ERROR_SUCCESS;
}

DWORD Filter(const FWPM_FILTER0& in, WfpFilter& out) {
  CHECK(Names(in.displayData, out.name, out.description));
  const bool v6 = in.layerKey == kLayerAleAuthConnectV6;  // the engine's only two layers
  REFUSE_IF(!v6 && in.layerKey != kLayerAleAuthConnectV4, FWP_E_LAYER_NOT_FOUND);
  REFUSE_IF(in.filterKey != GUID{} || in.flags != 0 || in.providerKey != nullptr ||
                in.providerData.size != 0,
            kNotModelled);
  out.layer = v6 ? WfpLayer::kAleAuthConnectV6 : WfpLayer::kAleAuthConnectV4;
  out.sublayer = Key(in.subLayerKey);
  // An 8-bit weight names one of 16 ranges, the top four bits of the 64-bit weight the engine
  // uses; an empty weight is generated in the lowest range.
  const FWP_VALUE0& weight = in.weight;
  REFUSE_IF(weight.type != FWP_UINT8 && weight.type != FWP_UINT64 && weight.type != FWP_EMPTY,
            FWP_E_TYPE_MISMATCH);
  REFUSE_IF(weight.type == FWP_UINT8 && weight.uint8 > 15, FWP_E_INVALID_WEIGHT);
  REFUSE_IF(weight.type == FWP_UINT64 && weight.uint64 == nullptr, FWP_E_NULL_POINTER);
  out.weight = weight.type == FWP_UINT8    ? weight.uint8
               : weight.type == FWP_UINT64 ? static_cast<uint8_t>(*weight.uint64 >> 60)
                                           : uint8_t{0};
  const UINT32 action = in.action.type;
  REFUSE_IF(action == FWP_ACTION_CALLOUT_TERMINATING || action == FWP_ACTION_CALLOUT_INSPECTION ||
                action == FWP_ACTION_CALLOUT_UNKNOWN,
            kNotModelled);
  REFUSE_IF(action != FWP_ACTION_BLOCK && action != FWP_ACTION_PERMIT, FWP_E_INVALID_ACTION_TYPE);
  out.action = action == FWP_ACTION_PERMIT ? WfpAction::kPermit : WfpAction::kBlock;
  REFUSE_IF(in.numFilterConditions != 0 && in.filterCondition == nullptr, FWP_E_NULL_POINTER);
  for (UINT32 i = 0; i < in.numFilterConditions; ++i) {
    CHECK(Condition(in.filterCondition[i], v6, out.conditions.emplace_back()));
  }
  return ERROR_SUCCESS;
}

// Runs `call` on the session behind `engine`, under the lock; a success rewrites the state file
// whole, so that a reader never sees half of it.
template <typename Call>
DWORD OnSession(HANDLE engine, Call call) {
  std::lock_guard lock(g.mutex);
  const auto found = g.sessions.find(reinterpret_cast<uintptr_t>(engine));
  REFUSE_IF(found == g.sessions.end(), ERROR_INVALID_HANDLE);
  const DWORD code = call(*found->second);
  if (code == ERROR_SUCCESS) {
    const std::string next = std::string(kStandInFwpStateFile) + ".new";
    std::ofstream(next, std::ios::binary | std::ios::trunc) << g.engine->Filters();
    MoveFileExA(next.c_str(), kStandInFwpStateFile, MOVEFILE_REPLACE_EXISTING);
  }
  return code;
}

}  // namespace

#define STAND_IN_EXPORT extern "C" __declspec(dllexport)

STAND_IN_EXPORT DWORD WINAPI FwpmEngineOpen0(const wchar_t* server_name, UINT32 authn_service,
                                             SEC_WINNT_AUTH_IDENTITY_W* auth_identity,
                                             const FWPM_SESSION0* session, HANDLE* engine) {
  REFUSE_IF(engine == nullptr, FWP_E_NULL_POINTER);
  REFUSE_IF(server_name != nullptr ||
                (authn_service != RPC_C_AUTHN_WINNT && authn_service != RPC_C_AUTHN_DEFAULT),
            ERROR_INVALID_PARAMETER);
  REFUSE_IF(auth_identity != nullptr, kNotModelled);
  WfpSessionOptions options;
  if (session != nullptr) {
    CHECK(Names(session->displayData, options.name, options.description));
    REFUSE_IF((session->flags & ~kSessionFlagDynamic) != 0, FWP_E_INVALID_FLAGS);
    options.dynamic = session->flags == kSessionFlagDynamic;
    options.transaction_wait_ms = session->txnWaitTimeoutInMSec;
  }
  std::lock_guard lock(g.mutex);
  WfpSessionOpen opened = g.engine->OpenSession(options);
  if (opened.session) {
    g.sessions[++g.last_handle] = std::move(opened.session);
    *engine = reinterpret_cast<HANDLE>(g.last_handle);
  }
  return opened.code;
}

STAND_IN_EXPORT DWORD WINAPI FwpmEngineClose0(HANDLE engine) {
  return OnSession(engine, [&](WfpSession&) -> DWORD {
    g.sessions.erase(reinterpret_cast<uintptr_t>(engine));  // a dynamic session's objects go
    return ERROR_SUCCESS;
  });
}

STAND_IN_EXPORT DWORD WINAPI FwpmProviderAdd0(HANDLE engine, const FWPM_PROVIDER0* provider,
                                              PSECURITY_DESCRIPTOR sd) {
  return OnSession(engine, [&](WfpSession& session) -> DWORD {
    REFUSE_IF(provider == nullptr, FWP_E_NULL_POINTER);
    WfpProvider entry{Key(provider->providerKey), {}, {}};
    CHECK(Names(provider->displayData, entry.name, entry.description));
    REFUSE_IF(provider->flags != 0 || provider->providerData.size != 0 ||
                  provider->serviceName != nullptr || sd != nullptr,
              kNotModelled);
    return session.AddProvider(entry);
  });
}

STAND_IN_EXPORT DWORD WINAPI FwpmProviderDeleteByKey0(HANDLE engine, const GUID* key) {
  return OnSession(engine, [&](WfpSession& session) -> DWORD {
    REFUSE_IF(key == nullptr, FWP_E_NULL_POINTER);
    return session.DeleteProvider(Key(*key));
  });
}

STAND_IN_EXPORT DWORD WINAPI FwpmSubLayerAdd0(HANDLE engine, const FWPM_SUBLAYER0* sublayer,
                                              PSECURITY_DESCRIPTOR sd) {
  return OnSession(engine, [&](WfpSession& session) -> DWORD {
    REFUSE_IF(sublayer == nullptr, FWP_E_NULL_POINTER);
    WfpSubLayer entry{Key(sublayer->subLayerKey), {}, {}, {}, sublayer->weight};
    CHECK(Names(sublayer->displayData, entry.name, entry.description));
    REFUSE_IF(sublayer->flags != 0 || sublayer->providerKey == nullptr ||
                  sublayer->providerData.size != 0 || sd != nullptr,
              kNotModelled);
    entry.provider = Key(*sublayer->providerKey);
    return session.AddSubLayer(entry);
  });
}

STAND_IN_EXPORT DWORD WINAPI FwpmSubLayerDeleteByKey0(HANDLE engine, const GUID* key) {
  return OnSession(engine, [&](WfpSession& session) -> DWORD {
    REFUSE_IF(key == nullptr, FWP_E_NULL_POINTER);
    return session.DeleteSubLayer(Key(*key));
  });
}

STAND_IN_EXPORT DWORD WINAPI FwpmFilterAdd0(HANDLE engine, const FWPM_FILTER0* filter,
                                            PSECURITY_DESCRIPTOR sd, UINT64* id) {
  return OnSession(engine, [&](WfpSession& session) -> DWORD {
    REFUSE_IF(filter == nullptr, FWP_E_NULL_POINTER);
    REFUSE_IF(sd != nullptr, kNotModelled);
    WfpFilter entry;
    CHECK(Filter(*filter, entry));
    const WfpFilterAdd added = session.AddFilter(entry);
    if (added.code == ERROR_SUCCESS && id != nullptr) {
      *id = added.id;
    }
    return added.code;
  });
}

STAND_IN_EXPORT DWORD WINAPI FwpmFilterDeleteById0(HANDLE engine, UINT64 id) {
  return OnSession(engine, [&](WfpSession& session) -> DWORD { return session.DeleteFilter(id); });
}

STAND_IN_EXPORT DWORD WINAPI FwpmTransactionBegin0(HANDLE engine, UINT32 flags) {
  return OnSession(engine, [&](WfpSession& session) -> DWORD {
    REFUSE_IF(flags == kTxnReadOnly, kNotModelled);
    REFUSE_IF(flags != 0, FWP_E_INVALID_FLAGS);
    return session.BeginTransaction();
  });
}

STAND_IN_EXPORT DWORD WINAPI FwpmTransactionCommit0(HANDLE engine) {
  return OnSession(engine,
                   [](WfpSession& session) -> DWORD { return session.CommitTransaction(); });
}

STAND_IN_EXPORT DWORD WINAPI FwpmTransactionAbort0(HANDLE engine) {
  return OnSession(engine, [](WfpSession& session) -> DWORD { return session.AbortTransaction(); });
}

STAND_IN_EXPORT DWORD WINAPI FwpmGetAppIdFromFileName0(const wchar_t* file_name,
                                                       FWP_BYTE_BLOB** app_id) {
  REFUSE_IF(file_name == nullptr || app_id == nullptr, FWP_E_NULL_POINTER);
  std::lock_guard lock(g.mutex);
  WfpAppId id = g.engine->GetAppIdFromFileName(file_name);
  if (id.code == ERROR_SUCCESS) {
    auto entry = std::make_unique<AppId>(std::move(id.blob));
    *app_id = &entry->blob;
    g.app_ids[*app_id] = std::move(entry);
  }
  return id.code;
}

// Frees what the engine handed out and nulls the caller's pointer.
STAND_IN_EXPORT void WINAPI FwpmFreeMemory0(void** p) {
  if (p != nullptr) {
    std::lock_guard lock(g.mutex);
    g.app_ids.erase(*p);
    *p = nullptr;
  }
}

STAND_IN_EXPORT int StandInFwpReset(int administrator) {
  std::lock_guard lock(g.mutex);
  const int unfreed = static_cast<int>(g.app_ids.size());
  g.app_ids.clear();
  g.sessions.clear();
  g.engine = std::make_shared<orvo_test::FakeWfpEngine>(administrator != 0);
  return unfreed;
}

STAND_IN_EXPORT void StandInFwpFail(const char* fragment, uint32_t code, int occurrence) {
  std::lock_guard lock(g.mutex);
  g.engine->Fail(fragment, code, occurrence);
}

STAND_IN_EXPORT const char* StandInFwpText(int filters) {
  static std::string text;
  std::lock_guard lock(g.mutex);
  text = filters != 0 ? g.engine->Filters() : g.engine->Calls();
  return text.c_str();
}
