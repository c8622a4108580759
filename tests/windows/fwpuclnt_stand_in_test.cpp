// The fwpuclnt stand-in, on which the kill switch's Win32 engine runs under Wine, refuses a
// malformed filter with the code Microsoft documents for it, and a transaction out of turn.
#ifdef _WIN32
#include <gtest/gtest.h>

#include <windows.h>

#include <fwpmu.h>
#include <rpc.h>

#include <functional>

#include "fwpuclnt/published_values.h"
#include "fwpuclnt/stand_in_controls.h"

namespace {

using namespace fwpuclnt_stand_in;

constexpr GUID kProvider = {0x1, 0x2, 0x3, {4, 5, 6, 7, 8, 9, 10, 11}};
constexpr GUID kSubLayer = {0x2, 0x2, 0x3, {4, 5, 6, 7, 8, 9, 10, 11}};

TEST(FwpuclntStandIn, RefusesMalformedFiltersWithTheDocumentedCodes) {
  const auto reset = reinterpret_cast<decltype(&StandInFwpReset)>(reinterpret_cast<void (*)()>(
      GetProcAddress(GetModuleHandleW(L"fwpuclnt.dll"), "StandInFwpReset")));
  ASSERT_NE(reset, nullptr) << "fwpuclnt.dll is not the stand-in";
  reset(1);
  wchar_t name[] = L"test";
  FWPM_SESSION0 session{};
  session.displayData.name = name;
  HANDLE engine = nullptr;
  ASSERT_EQ(FwpmEngineOpen0(nullptr, RPC_C_AUTHN_DEFAULT, nullptr, &session, &engine), 0u);
  FWPM_PROVIDER0 provider{kProvider, {name, nullptr}, 0, {}, nullptr};
  ASSERT_EQ(FwpmProviderAdd0(engine, &provider, nullptr), 0u);
  GUID provider_key = kProvider;
  FWPM_SUBLAYER0 sublayer{kSubLayer, {name, nullptr}, 0, &provider_key, {}, 1};
  ASSERT_EQ(FwpmSubLayerAdd0(engine, &sublayer, nullptr), 0u);

  struct Row {
    const char* what;
    HRESULT code;
    std::function<void(FWPM_FILTER0&, FWP_V4_ADDR_AND_MASK&, FWP_RANGE0&)> spoil;
  };
  const Row rows[] = {
      {"well formed", S_OK, [](auto&, auto&, auto&) {}},
      {"weight of a wrong type", FWP_E_TYPE_MISMATCH,
       [](auto& f, auto&, auto&) { f.weight.type = FWP_UINT16; }},
      {"weight 16", FWP_E_INVALID_WEIGHT, [](auto& f, auto&, auto&) { f.weight.uint8 = 16; }},
      {"non-contiguous mask", FWP_E_INVALID_NET_MASK,
       [](auto&, auto& network, auto&) { network.mask = 0xFF00FF00; }},
      {"port range low above high", FWP_E_INVALID_RANGE,
       [](auto&, auto&, auto& range) { range.valueLow.uint16 = 2000; }},
      {"unknown layer", FWP_E_LAYER_NOT_FOUND,
       [](auto& f, auto&, auto&) { f.layerKey = kProvider; }},
      {"missing sublayer", FWP_E_SUBLAYER_NOT_FOUND,
       [](auto& f, auto&, auto&) { f.subLayerKey = kProvider; }},
      {"no name", FWP_E_NULL_DISPLAY_NAME,
       [](auto& f, auto&, auto&) { f.displayData.name = nullptr; }},
      {"conditions counted but not given", FWP_E_NULL_POINTER,
       [](auto& f, auto&, auto&) { f.filterCondition = nullptr; }},
  };
  for (const Row& row : rows) {
    FWP_V4_ADDR_AND_MASK network{0xC0000201, 0xFFFFFFFF};
    FWP_RANGE0 range{};
    range.valueLow = range.valueHigh = {FWP_UINT16, {}};
    range.valueHigh.uint16 = 1024;
    FWPM_FILTER_CONDITION0 conditions[2]{};
    conditions[0] = {kConditionIpRemoteAddress, FWP_MATCH_EQUAL, {FWP_V4_ADDR_MASK, {}}};
    conditions[0].conditionValue.v4AddrMask = &network;
    conditions[1] = {kConditionIpLocalPort, FWP_MATCH_RANGE, {FWP_RANGE_TYPE, {}}};
    conditions[1].conditionValue.rangeValue = &range;
    FWPM_FILTER0 filter{};
    filter.displayData.name = name;
    filter.layerKey = kLayerAleAuthConnectV4;
    filter.subLayerKey = kSubLayer;
    filter.weight = {FWP_UINT8, {}};
    filter.weight.uint8 = 15;
    filter.numFilterConditions = 2;
    filter.filterCondition = conditions;
    filter.action.type = FWP_ACTION_BLOCK;
    row.spoil(filter, network, range);
    UINT64 id = 0;
    EXPECT_EQ(FwpmFilterAdd0(engine, &filter, nullptr, &id), static_cast<DWORD>(row.code))
        << row.what;
  }
  EXPECT_EQ(FwpmTransactionCommit0(engine), static_cast<DWORD>(FWP_E_NO_TXN_IN_PROGRESS));
  ASSERT_EQ(FwpmTransactionBegin0(engine, 0), 0u);
  EXPECT_EQ(FwpmTransactionBegin0(engine, 0), static_cast<DWORD>(FWP_E_TXN_IN_PROGRESS));
  EXPECT_EQ(FwpmTransactionAbort0(engine), 0u);
  EXPECT_EQ(FwpmTransactionAbort0(engine), static_cast<DWORD>(FWP_E_NO_TXN_IN_PROGRESS));
  EXPECT_EQ(FwpmEngineClose0(engine), 0u);
}

}  // namespace
#endif
