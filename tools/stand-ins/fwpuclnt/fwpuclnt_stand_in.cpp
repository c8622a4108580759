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
#include <cstring>
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

constexpr DWORD Code(HRESULT code) {
  return static_cast<DWORD>(code);
}
// Valid by the documentation, but outside what the in-memory engine holds (callouts, persistent
// objects, keys chosen by the caller, other match types). No real engine answers this code.
constexpr DWORD kNotModelled = ERROR_CALL_NOT_IMPLEMENTED;

#define CHECK(call)                                                 \
  if (const DWORD check_code = (call); check_code != ERROR_SUCCESS) \
  return check_code

struct Session {
  std::unique_ptr<WfpSession> engine;
  bool dynamic = false;
};

struct AppId {
  FWP_BYTE_BLOB blob{};
  WfpByteBlob bytes;
};

struct State {
  std::mutex mutex;
  std::shared_ptr<orvo_test::FakeWfpEngine> engine = std::make_shared<orvo_test::FakeWfpEngine>();
  std::map<uintptr_t, Session> sessions;
  uintptr_t last_handle = 0;
  std::map<const void*, std::unique_ptr<AppId>> app_ids;  // handed out, not yet freed
};
State& g = *new State();  // never destroyed: the process may still call in while it exits

WfpKey Key(const GUID& guid) {
  WfpKey key{guid.Data1, guid.Data2, guid.Data3, {}};
  std::copy(std::begin(guid.Data4), std::end(guid.Data4), key.data4.begin());
  return key;
}

DWORD Names(const FWPM_DISPLAY_DATA0& display, std::wstring& name, std::wstring& description) {
  if (display.name == nullptr) {
    return Code(FWP_E_NULL_DISPLAY_NAME);
  }
  name = display.name;
  description = display.description == nullptr ? L"" : display.description;
  return ERROR_SUCCESS;
}

struct FieldKey {
  GUID key;
  WfpField field;
};
constexpr FieldKey kFields[] = {
    {kConditionIpRemoteAddress, WfpField::kIpRemoteAddress},
    {kConditionIpProtocol, WfpField::kIpProtocol},
    {kConditionIpLocalPort, WfpField::kIpLocalPort},
    {kConditionIpRemotePort, WfpField::kIpRemotePort},
    {kConditionIpLocalInterface, WfpField::kIpLocalInterface},
    {kConditionAleAppId, WfpField::kAleAppId},
    {kConditionFlags, WfpField::kFlags},
};

// The value types a field takes on the connect layer of one family.
bool Takes(WfpField field, FWP_DATA_TYPE type, bool v6) {
  switch (field) {
    case WfpField::kIpRemoteAddress:
      return v6 ? type == FWP_BYTE_ARRAY16_TYPE || type == FWP_V6_ADDR_MASK
                : type == FWP_UINT32 || type == FWP_V4_ADDR_MASK;
    case WfpField::kIpProtocol:
      return type == FWP_UINT8;
    case WfpField::kIpLocalPort:
    case WfpField::kIpRemotePort:
      return type == FWP_UINT16 || type == FWP_RANGE_TYPE;
    case WfpField::kIpLocalInterface:
      return type == FWP_UINT64;
    case WfpField::kAleAppId:
      return type == FWP_BYTE_BLOB_TYPE;
    case WfpField::kFlags:
      return type == FWP_UINT32;
  }
  return false;
}

// A value of a type its field takes; an address alone is the network of that one address.
DWORD Value(const FWP_CONDITION_VALUE0& in, WfpConditionValue& out) {
  const DWORD null = Code(FWP_E_NULL_POINTER);
  switch (in.type) {
    case FWP_UINT8:
      out = in.uint8;
      return ERROR_SUCCESS;
    case FWP_UINT16:
      out = in.uint16;
      return ERROR_SUCCESS;
    case FWP_UINT32:
      out = in.uint32;
      return ERROR_SUCCESS;
    case FWP_UINT64:
      CHECK(in.uint64 == nullptr ? null : 0);
      out = *in.uint64;
      return ERROR_SUCCESS;
    case FWP_V4_ADDR_MASK: {
      CHECK(in.v4AddrMask == nullptr ? null : 0);
      const UINT32 host_bits = ~in.v4AddrMask->mask;  // the mask's ones must come first
      CHECK((host_bits & (host_bits + 1)) != 0 ? Code(FWP_E_INVALID_NET_MASK) : 0);
      out = WfpV4AddressMask{in.v4AddrMask->addr, in.v4AddrMask->mask};
      return ERROR_SUCCESS;
    }
    case FWP_BYTE_ARRAY16_TYPE:
    case FWP_V6_ADDR_MASK: {
      const bool masked = in.type == FWP_V6_ADDR_MASK;
      CHECK((masked ? in.v6AddrMask == nullptr : in.byteArray16 == nullptr) ? null : 0);
      CHECK(masked && in.v6AddrMask->prefixLength > 128 ? Code(FWP_E_INVALID_NET_MASK) : 0);
      WfpV6AddressPrefix network{{}, masked ? in.v6AddrMask->prefixLength : uint8_t{128}};
      const UINT8* bytes = masked ? in.v6AddrMask->addr : in.byteArray16->byteArray16;
      std::copy(bytes, bytes + 16, network.address.begin());
      out = network;
      return ERROR_SUCCESS;
    }
    case FWP_BYTE_BLOB_TYPE:
      CHECK(in.byteBlob == nullptr || (in.byteBlob->size != 0 && in.byteBlob->data == nullptr)
                ? null
                : 0);
      CHECK(in.byteBlob->size == 0 ? Code(FWP_E_ZERO_LENGTH_ARRAY) : 0);
      out = WfpByteBlob(in.byteBlob->data, in.byteBlob->data + in.byteBlob->size);
      return ERROR_SUCCESS;
    case FWP_RANGE_TYPE: {
      CHECK(in.rangeValue == nullptr ? null : 0);
      const FWP_RANGE0& range = *in.rangeValue;
      CHECK(range.valueLow.type != FWP_UINT16 || range.valueHigh.type != FWP_UINT16
                ? Code(FWP_E_TYPE_MISMATCH)
                : 0);
      CHECK(range.valueLow.uint16 > range.valueHigh.uint16 ? Code(FWP_E_INVALID_RANGE) : 0);
      out = WfpUint16Range{range.valueLow.uint16, range.valueHigh.uint16};
      return ERROR_SUCCESS;
    }
    default:
      return Code(FWP_E_TYPE_MISMATCH);
  }
}

DWORD Condition(const FWPM_FILTER_CONDITION0& in, bool v6, WfpCondition& out) {
  const auto known =
      std::ranges::find_if(kFields, [&](const FieldKey& f) { return f.key == in.fieldKey; });
  CHECK(known == std::end(kFields) ? Code(FWP_E_CONDITION_NOT_FOUND) : 0);
  out.field = known->field;
  const FWP_MATCH_TYPE match = in.matchType;
  const bool flag_match = match == FWP_MATCH_FLAGS_ALL_SET || match == FWP_MATCH_FLAGS_ANY_SET ||
                          match == FWP_MATCH_FLAGS_NONE_SET;
  CHECK(flag_match != (out.field == WfpField::kFlags) ||
                (match == FWP_MATCH_RANGE) != (in.conditionValue.type == FWP_RANGE_TYPE)
            ? Code(FWP_E_MATCH_TYPE_MISMATCH)
            : 0);
  CHECK(Takes(out.field, in.conditionValue.type, v6) ? 0 : Code(FWP_E_TYPE_MISMATCH));
  switch (match) {
    case FWP_MATCH_EQUAL:
      out.match = WfpMatch::kEqual;
      break;
    case FWP_MATCH_RANGE:
      out.match = WfpMatch::kRange;
      break;
    case FWP_MATCH_FLAGS_ALL_SET:
      out.match = WfpMatch::kFlagsAllSet;
      break;
    case FWP_MATCH_FLAGS_NONE_SET:
      out.match = WfpMatch::kFlagsNoneSet;
      break;
    default:
      return kNotModelled;
  }
  CHECK(Value(in.conditionValue, out.value));
  if (const auto* address = std::get_if<uint32_t>(&out.value);
      address != nullptr && out.field == WfpField::kIpRemoteAddress) {
    out.value = WfpV4AddressMask{*address, 0xFFFFFFFF};
  }
  return ERROR_SUCCESS;
}

DWORD Filter(const FWPM_FILTER0& in, WfpFilter& out) {
  CHECK(Names(in.displayData, out.name, out.description));
  if (in.layerKey == kLayerAleAuthConnectV4 || in.layerKey == kLayerAleAuthConnectV6) {
    out.layer = in.layerKey == kLayerAleAuthConnectV4 ? WfpLayer::kAleAuthConnectV4
                                                      : WfpLayer::kAleAuthConnectV6;
  } else {
    return Code(FWP_E_LAYER_NOT_FOUND);  // the only layers this engine has
  }
  CHECK(in.filterKey != GUID{} || in.flags != 0 || in.providerKey != nullptr ||
                in.providerData.size != 0
            ? kNotModelled
            : 0);
  out.sublayer = Key(in.subLayerKey);
  // An 8-bit weight names one of 16 ranges, the top four bits of the 64-bit weight the engine
  // uses; an empty weight is generated in the lowest range.
  switch (in.weight.type) {
    case FWP_UINT8:
      CHECK(in.weight.uint8 > 15 ? Code(FWP_E_INVALID_WEIGHT) : 0);
      out.weight = in.weight.uint8;
      break;
    case FWP_UINT64:
      CHECK(in.weight.uint64 == nullptr ? Code(FWP_E_NULL_POINTER) : 0);
      out.weight = static_cast<uint8_t>(*in.weight.uint64 >> 60);
      break;
    case FWP_EMPTY:
      out.weight = 0;
      break;
    default:
      return Code(FWP_E_TYPE_MISMATCH);
  }
  switch (in.action.type) {
    case FWP_ACTION_BLOCK:
    case FWP_ACTION_PERMIT:
      out.action = in.action.type == FWP_ACTION_BLOCK ? WfpAction::kBlock : WfpAction::kPermit;
      break;
    case FWP_ACTION_CALLOUT_TERMINATING:
    case FWP_ACTION_CALLOUT_INSPECTION:
    case FWP_ACTION_CALLOUT_UNKNOWN:
      return kNotModelled;
    default:
      return Code(FWP_E_INVALID_ACTION_TYPE);
  }
  CHECK(in.numFilterConditions != 0 && in.filterCondition == nullptr ? Code(FWP_E_NULL_POINTER)
                                                                     : 0);
  for (UINT32 i = 0; i < in.numFilterConditions; ++i) {
    CHECK(Condition(in.filterCondition[i], out.layer == WfpLayer::kAleAuthConnectV6,
                    out.conditions.emplace_back()));
  }
  return ERROR_SUCCESS;
}

// Runs `call` on the session behind `handle`, under the lock; after a success the state file is
// rewritten.
template <typename Call>
DWORD OnSession(HANDLE handle, Call call) {
  std::lock_guard lock(g.mutex);
  const auto found = g.sessions.find(reinterpret_cast<uintptr_t>(handle));
  CHECK(found == g.sessions.end() ? static_cast<DWORD>(ERROR_INVALID_HANDLE) : 0);
  const DWORD code = call(found);
  if (code == ERROR_SUCCESS) {  // replaced whole, so that a reader never sees half of it
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
  CHECK(engine == nullptr ? Code(FWP_E_NULL_POINTER) : 0);
  CHECK(server_name != nullptr ||
                (authn_service != RPC_C_AUTHN_WINNT && authn_service != RPC_C_AUTHN_DEFAULT)
            ? static_cast<DWORD>(ERROR_INVALID_PARAMETER)
            : 0);
  CHECK(auth_identity != nullptr ? kNotModelled : 0);
  WfpSessionOptions options;
  if (session != nullptr) {
    CHECK(Names(session->displayData, options.name, options.description));
    CHECK((session->flags & ~kSessionFlagDynamic) != 0 ? Code(FWP_E_INVALID_FLAGS) : 0);
    options.dynamic = (session->flags & kSessionFlagDynamic) != 0;
    options.transaction_wait_ms = session->txnWaitTimeoutInMSec;
  }
  std::lock_guard lock(g.mutex);
  WfpSessionOpen opened = g.engine->OpenSession(options);
  if (opened.code == ERROR_SUCCESS) {
    g.sessions[++g.last_handle] = {std::move(opened.session), options.dynamic};
    *engine = reinterpret_cast<HANDLE>(g.last_handle);
  }
  return opened.code;
}

STAND_IN_EXPORT DWORD WINAPI FwpmEngineClose0(HANDLE engine) {
  return OnSession(engine, [](auto session) -> DWORD {
    g.sessions.erase(session);  // a dynamic session's objects go with it
    return ERROR_SUCCESS;
  });
}

STAND_IN_EXPORT DWORD WINAPI FwpmProviderAdd0(HANDLE engine, const FWPM_PROVIDER0* provider,
                                              PSECURITY_DESCRIPTOR sd) {
  return OnSession(engine, [&](auto session) -> DWORD {
    WfpProvider entry;
    CHECK(provider == nullptr ? Code(FWP_E_NULL_POINTER) : 0);
    CHECK(Names(provider->displayData, entry.name, entry.description));
    CHECK((provider->flags & kProviderFlagPersistent) != 0 && session->second.dynamic
              ? Code(FWP_E_DYNAMIC_SESSION_IN_PROGRESS)
              : 0);
    CHECK(provider->flags != 0 || provider->providerData.size != 0 ||
                  provider->serviceName != nullptr || sd != nullptr
              ? kNotModelled
              : 0);
    entry.key = Key(provider->providerKey);
    return session->second.engine->AddProvider(entry);
  });
}

STAND_IN_EXPORT DWORD WINAPI FwpmProviderDeleteByKey0(HANDLE engine, const GUID* key) {
  return OnSession(engine, [&](auto session) -> DWORD {
    CHECK(key == nullptr ? Code(FWP_E_NULL_POINTER) : 0);
    return session->second.engine->DeleteProvider(Key(*key));
  });
}

STAND_IN_EXPORT DWORD WINAPI FwpmSubLayerAdd0(HANDLE engine, const FWPM_SUBLAYER0* sublayer,
                                              PSECURITY_DESCRIPTOR sd) {
  return OnSession(engine, [&](auto session) -> DWORD {
    WfpSubLayer entry;
    CHECK(sublayer == nullptr ? Code(FWP_E_NULL_POINTER) : 0);
    CHECK(Names(sublayer->displayData, entry.name, entry.description));
    CHECK((sublayer->flags & kSubLayerFlagPersistent) != 0 && session->second.dynamic
              ? Code(FWP_E_DYNAMIC_SESSION_IN_PROGRESS)
              : 0);
    CHECK(sublayer->flags != 0 || sublayer->providerKey == nullptr ||
                  sublayer->providerData.size != 0 || sd != nullptr
              ? kNotModelled
              : 0);
    entry.key = Key(sublayer->subLayerKey);
    entry.provider = Key(*sublayer->providerKey);
    entry.weight = sublayer->weight;
    return session->second.engine->AddSubLayer(entry);
  });
}

STAND_IN_EXPORT DWORD WINAPI FwpmSubLayerDeleteByKey0(HANDLE engine, const GUID* key) {
  return OnSession(engine, [&](auto session) -> DWORD {
    CHECK(key == nullptr ? Code(FWP_E_NULL_POINTER) : 0);
    return session->second.engine->DeleteSubLayer(Key(*key));
  });
}

STAND_IN_EXPORT DWORD WINAPI FwpmFilterAdd0(HANDLE engine, const FWPM_FILTER0* filter,
                                            PSECURITY_DESCRIPTOR sd, UINT64* id) {
  return OnSession(engine, [&](auto session) -> DWORD {
    WfpFilter entry;
    CHECK(filter == nullptr ? Code(FWP_E_NULL_POINTER) : 0);
    CHECK(sd != nullptr ? kNotModelled : 0);
    CHECK(Filter(*filter, entry));
    const WfpFilterAdd added = session->second.engine->AddFilter(entry);
    if (added.code == ERROR_SUCCESS && id != nullptr) {
      *id = added.id;
    }
    return added.code;
  });
}

STAND_IN_EXPORT DWORD WINAPI FwpmFilterDeleteById0(HANDLE engine, UINT64 id) {
  return OnSession(engine,
                   [&](auto session) -> DWORD { return session->second.engine->DeleteFilter(id); });
}

STAND_IN_EXPORT DWORD WINAPI FwpmTransactionBegin0(HANDLE engine, UINT32 flags) {
  return OnSession(engine, [&](auto session) -> DWORD {
    CHECK(flags == kTxnReadOnly ? kNotModelled : 0);
    CHECK(flags != 0 ? Code(FWP_E_INVALID_FLAGS) : 0);
    return session->second.engine->BeginTransaction();
  });
}

STAND_IN_EXPORT DWORD WINAPI FwpmTransactionCommit0(HANDLE engine) {
  return OnSession(
      engine, [](auto session) -> DWORD { return session->second.engine->CommitTransaction(); });
}

STAND_IN_EXPORT DWORD WINAPI FwpmTransactionAbort0(HANDLE engine) {
  return OnSession(
      engine, [](auto session) -> DWORD { return session->second.engine->AbortTransaction(); });
}

STAND_IN_EXPORT DWORD WINAPI FwpmGetAppIdFromFileName0(const wchar_t* file_name,
                                                       FWP_BYTE_BLOB** app_id) {
  CHECK(file_name == nullptr || app_id == nullptr ? Code(FWP_E_NULL_POINTER) : 0);
  std::lock_guard lock(g.mutex);
  WfpAppId id = g.engine->GetAppIdFromFileName(file_name);
  if (id.code == ERROR_SUCCESS) {
    auto entry = std::make_unique<AppId>();
    entry->bytes = std::move(id.blob);
    entry->blob = {static_cast<UINT32>(entry->bytes.size()), entry->bytes.data()};
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

STAND_IN_EXPORT void StandInFwpFail(const char* fragment, unsigned long code, int occurrence) {
  std::lock_guard lock(g.mutex);
  g.engine->Fail(fragment, code, occurrence);
}

STAND_IN_EXPORT size_t StandInFwpText(int filters, char* buffer, size_t size) {
  std::lock_guard lock(g.mutex);
  const std::string text = filters != 0 ? g.engine->Filters() : g.engine->Calls();
  if (buffer != nullptr && size > text.size()) {
    std::memcpy(buffer, text.c_str(), text.size() + 1);
  }
  return text.size();
}
