#pragma once

// Filtering-engine constants that mingw-w64's headers do not declare, defined from their
// published values, and checks that the mingw structs this service fills have the layout the
// system's fwpuclnt.dll expects on x64.

#include <windows.h>

#include <fwpmu.h>

#include <cstddef>

#include "platform/wfp_engine.h"

namespace orvo_vpn_win_svc::platform::win32_wfp {

constexpr GUID ToGuid(const WfpKey& key) {
  return GUID{key.data1,
              key.data2,
              key.data3,
              {key.data4[0], key.data4[1], key.data4[2], key.data4[3], key.data4[4], key.data4[5],
               key.data4[6], key.data4[7]}};
}

// FWPM_SESSION_FLAG_DYNAMIC
inline constexpr UINT32 kSessionFlagDynamic = 0x00000001;

// Layer keys.
inline constexpr WfpKey kLayerAleAuthConnectV4 =
    WfpKey::FromText("{C38D57D1-05A7-4C33-904F-7FBCEEE60E82}");
inline constexpr WfpKey kLayerAleAuthConnectV6 =
    WfpKey::FromText("{4A72393B-319F-44BC-84C3-BA54DCB3B6B4}");

// Condition keys. FWPM_CONDITION_ICMP_TYPE and FWPM_CONDITION_ICMP_CODE are the local and the
// remote port keys.
inline constexpr WfpKey kConditionIpRemoteAddress =
    WfpKey::FromText("{B235AE9A-1D64-49B8-A44C-5FF3D9095045}");
inline constexpr WfpKey kConditionIpProtocol =
    WfpKey::FromText("{3971EF2B-623E-4F9A-8CB1-6E79B806B9A7}");
inline constexpr WfpKey kConditionIpLocalPort =
    WfpKey::FromText("{0C1BA1AF-5765-453F-AF22-A8F791AC775B}");
inline constexpr WfpKey kConditionIpRemotePort =
    WfpKey::FromText("{C35A604D-D22B-4E1A-91B4-68F674EE674B}");
inline constexpr WfpKey kConditionIpLocalInterface =
    WfpKey::FromText("{4CD62A49-59C3-4969-B7F3-BDA5D32890A4}");
inline constexpr WfpKey kConditionAleAppId =
    WfpKey::FromText("{D78E1E87-8644-4EA5-9437-D809ECEFC971}");
inline constexpr WfpKey kConditionFlags =
    WfpKey::FromText("{632CE23B-5167-435C-86D7-E903684AA80C}");

// The text form and the field form of a key agree (spot checks of the parser on published keys).
static_assert(kLayerAleAuthConnectV4.data1 == 0xC38D57D1 &&
              kLayerAleAuthConnectV4.data2 == 0x05A7 && kLayerAleAuthConnectV4.data3 == 0x4C33 &&
              kLayerAleAuthConnectV4.data4[0] == 0x90 && kLayerAleAuthConnectV4.data4[7] == 0x82);
static_assert(kConditionFlags.data1 == 0x632CE23B && kConditionFlags.data4[1] == 0xD7 &&
              kConditionFlags.data4[7] == 0x0C);

constexpr GUID LayerGuid(WfpLayer layer) {
  return ToGuid(layer == WfpLayer::kAleAuthConnectV4 ? kLayerAleAuthConnectV4
                                                     : kLayerAleAuthConnectV6);
}

constexpr GUID FieldGuid(WfpField field) {
  switch (field) {
    case WfpField::kIpRemoteAddress:
      return ToGuid(kConditionIpRemoteAddress);
    case WfpField::kIpProtocol:
      return ToGuid(kConditionIpProtocol);
    case WfpField::kIpLocalPort:
      return ToGuid(kConditionIpLocalPort);
    case WfpField::kIpRemotePort:
      return ToGuid(kConditionIpRemotePort);
    case WfpField::kIpLocalInterface:
      return ToGuid(kConditionIpLocalInterface);
    case WfpField::kAleAppId:
      return ToGuid(kConditionAleAppId);
    case WfpField::kFlags:
      return ToGuid(kConditionFlags);
  }
  return GUID{};
}

// Published values mingw does declare, checked against the ones the portable side relies on.
static_assert(FWP_ACTION_BLOCK == 0x1001 && FWP_ACTION_PERMIT == 0x1002);
static_assert(FWP_CONDITION_FLAG_IS_LOOPBACK == kWfpConditionFlagIsLoopback);
static_assert(FWP_UINT8 == 1 && FWP_UINT16 == 2 && FWP_UINT32 == 3 && FWP_UINT64 == 4);
static_assert(FWP_BYTE_BLOB_TYPE == 12 && FWP_V4_ADDR_MASK == 0x100 && FWP_V6_ADDR_MASK == 0x101 &&
              FWP_RANGE_TYPE == 0x102);
static_assert(FWP_MATCH_EQUAL == 0 && FWP_MATCH_RANGE == 5 && FWP_MATCH_FLAGS_ALL_SET == 6 &&
              FWP_MATCH_FLAGS_NONE_SET == 8);

// x64 layouts of the structures handed to fwpuclnt.
static_assert(sizeof(GUID) == 16);
static_assert(sizeof(FWP_VALUE0) == 16 && offsetof(FWP_VALUE0, uint8) == 8);
static_assert(sizeof(FWP_CONDITION_VALUE0) == 16);
static_assert(sizeof(FWP_V4_ADDR_AND_MASK) == 8 && offsetof(FWP_V4_ADDR_AND_MASK, mask) == 4);
static_assert(sizeof(FWP_V6_ADDR_AND_MASK) == 17 &&
              offsetof(FWP_V6_ADDR_AND_MASK, prefixLength) == 16);
static_assert(sizeof(FWP_BYTE_BLOB) == 16 && offsetof(FWP_BYTE_BLOB, data) == 8);
static_assert(sizeof(FWP_RANGE0) == 32 && offsetof(FWP_RANGE0, valueHigh) == 16);
static_assert(sizeof(FWPM_DISPLAY_DATA0) == 16);
static_assert(sizeof(FWPM_FILTER_CONDITION0) == 40 &&
              offsetof(FWPM_FILTER_CONDITION0, matchType) == 16 &&
              offsetof(FWPM_FILTER_CONDITION0, conditionValue) == 24);
static_assert(sizeof(FWPM_ACTION0) == 20);
static_assert(sizeof(FWPM_SESSION0) == 72 && offsetof(FWPM_SESSION0, flags) == 32 &&
              offsetof(FWPM_SESSION0, txnWaitTimeoutInMSec) == 36 &&
              offsetof(FWPM_SESSION0, kernelMode) == 64);
static_assert(sizeof(FWPM_PROVIDER0) == 64 && offsetof(FWPM_PROVIDER0, flags) == 32 &&
              offsetof(FWPM_PROVIDER0, providerData) == 40 &&
              offsetof(FWPM_PROVIDER0, serviceName) == 56);
static_assert(sizeof(FWPM_SUBLAYER0) == 72 && offsetof(FWPM_SUBLAYER0, flags) == 32 &&
              offsetof(FWPM_SUBLAYER0, providerKey) == 40 &&
              offsetof(FWPM_SUBLAYER0, providerData) == 48 &&
              offsetof(FWPM_SUBLAYER0, weight) == 64);
static_assert(sizeof(FWPM_FILTER0) == 200 && offsetof(FWPM_FILTER0, flags) == 32 &&
              offsetof(FWPM_FILTER0, providerKey) == 40 && offsetof(FWPM_FILTER0, layerKey) == 64 &&
              offsetof(FWPM_FILTER0, subLayerKey) == 80 && offsetof(FWPM_FILTER0, weight) == 96 &&
              offsetof(FWPM_FILTER0, numFilterConditions) == 112 &&
              offsetof(FWPM_FILTER0, filterCondition) == 120 &&
              offsetof(FWPM_FILTER0, action) == 128 && offsetof(FWPM_FILTER0, rawContext) == 152 &&
              offsetof(FWPM_FILTER0, reserved) == 168 && offsetof(FWPM_FILTER0, filterId) == 176 &&
              offsetof(FWPM_FILTER0, effectiveWeight) == 184);

}  // namespace orvo_vpn_win_svc::platform::win32_wfp
