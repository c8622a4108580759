// The fwpuclnt stand-in, on which the kill switch's Win32 engine runs under Wine, refuses a
// malformed filter with the code Microsoft documents for it, and a transaction out of turn.
#ifdef _WIN32
#include <gtest/gtest.h>

#include <windows.h>

#include <fwpmu.h>
#include <rpc.h>

#include "fwpuclnt/published_values.h"
#include "fwpuclnt/stand_in_controls.h"

namespace {

using namespace fwpuclnt_stand_in;

TEST(FwpuclntStandIn, RefusesMalformedFiltersWithTheDocumentedCodes) {
  const auto reset = STAND_IN_FWP(StandInFwpReset);
  ASSERT_NE(reset, nullptr) << "fwpuclnt.dll is not the stand-in";
  reset(1);
  wchar_t name[] = L"test";
  GUID key{1, 2, 3, {4}};  // the provider's and the sublayer's
  FWPM_PROVIDER0 provider{key, {name, nullptr}, 0, {}, nullptr};
  FWPM_SUBLAYER0 sublayer{key, {name, nullptr}, 0, &key, {}, 1};
  HANDLE engine = nullptr;
  ASSERT_EQ(FwpmEngineOpen0(nullptr, RPC_C_AUTHN_DEFAULT, nullptr, nullptr, &engine), 0u);
  ASSERT_EQ(FwpmProviderAdd0(engine, &provider, nullptr), 0u);
  ASSERT_EQ(FwpmSubLayerAdd0(engine, &sublayer, nullptr), 0u);
  // A filter on a remote network and a local port range, spoiled in one way a row.
  struct Row {
    HRESULT code;
    void (*spoil)(FWPM_FILTER0&, FWP_V4_ADDR_AND_MASK&, FWP_RANGE0&);
  };
  const Row rows[] = {
      {S_OK, [](auto&, auto&, auto&) {}},
      {FWP_E_TYPE_MISMATCH, [](auto& filter, auto&, auto&) { filter.weight.type = FWP_UINT16; }},
      {FWP_E_INVALID_WEIGHT, [](auto& filter, auto&, auto&) { filter.weight.uint8 = 16; }},
      {FWP_E_INVALID_NET_MASK, [](auto&, auto& network, auto&) { network.mask = 0xFF00FF00; }},
      {FWP_E_INVALID_RANGE, [](auto&, auto&, auto& range) { range.valueLow.uint16 = 2000; }},
      {FWP_E_LAYER_NOT_FOUND, [](auto& filter, auto&, auto&) { filter.layerKey.Data1 = 0; }},
      {FWP_E_SUBLAYER_NOT_FOUND, [](auto& filter, auto&, auto&) { filter.subLayerKey.Data1 = 9; }},
      {FWP_E_NULL_DISPLAY_NAME, [](auto& filter, auto&, auto&) { filter.displayData.name = {}; }},
      {FWP_E_NULL_POINTER, [](auto& filter, auto&, auto&) { filter.filterCondition = nullptr; }},
  };
  for (const Row& row : rows) {
    FWP_V4_ADDR_AND_MASK network{0xC0000201, 0xFFFFFFFF};
    FWP_RANGE0 range{{FWP_UINT16, {}}, {FWP_UINT16, {}}};
    range.valueHigh.uint16 = 1024;
    FWPM_FILTER_CONDITION0 conditions[] = {
        {kConditionKeys[0], FWP_MATCH_EQUAL, {FWP_V4_ADDR_MASK, {}}},
        {kConditionKeys[2], FWP_MATCH_RANGE, {FWP_RANGE_TYPE, {}}}};
    conditions[0].conditionValue.v4AddrMask = &network;
    conditions[1].conditionValue.rangeValue = &range;
    FWPM_FILTER0 filter{};
    filter.displayData.name = name;
    filter.layerKey = kLayerAleAuthConnectV4;
    filter.subLayerKey = key;
    filter.weight = {FWP_UINT8, {15}};
    filter.numFilterConditions = 2;
    filter.filterCondition = conditions;
    filter.action.type = FWP_ACTION_BLOCK;
    row.spoil(filter, network, range);
    EXPECT_EQ(FwpmFilterAdd0(engine, &filter, nullptr, nullptr), static_cast<DWORD>(row.code))
        << &row - rows;
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
