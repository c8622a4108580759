#pragma once

// Filtering-engine values mingw-w64's headers lack, transcribed from Microsoft's published
// definitions (fwpmu.h, fwpmtypes.h) for the stand-in alone.

#include <windows.h>

namespace fwpuclnt_stand_in {

inline constexpr UINT32 kSessionFlagDynamic = 0x00000001;  // FWPM_SESSION_FLAG_DYNAMIC
inline constexpr UINT32 kTxnReadOnly = 0x00000001;         // FWPM_TXN_READ_ONLY

// FWPM_LAYER_ALE_AUTH_CONNECT_V4 {C38D57D1-05A7-4C33-904F-7FBCEEE60E82}
inline constexpr GUID kLayerAleAuthConnectV4 = {
    0xc38d57d1, 0x05a7, 0x4c33, {0x90, 0x4f, 0x7f, 0xbc, 0xee, 0xe6, 0x0e, 0x82}};
// FWPM_LAYER_ALE_AUTH_CONNECT_V6 {4A72393B-319F-44BC-84C3-BA54DCB3B6B4}
inline constexpr GUID kLayerAleAuthConnectV6 = {
    0x4a72393b, 0x319f, 0x44bc, {0x84, 0xc3, 0xba, 0x54, 0xdc, 0xb3, 0xb6, 0xb4}};

// The condition fields, in the order of the portable WfpField.
inline constexpr GUID kConditionKeys[] = {
    // FWPM_CONDITION_IP_REMOTE_ADDRESS {B235AE9A-1D64-49B8-A44C-5FF3D9095045}
    {0xb235ae9a, 0x1d64, 0x49b8, {0xa4, 0x4c, 0x5f, 0xf3, 0xd9, 0x09, 0x50, 0x45}},
    // FWPM_CONDITION_IP_PROTOCOL {3971EF2B-623E-4F9A-8CB1-6E79B806B9A7}
    {0x3971ef2b, 0x623e, 0x4f9a, {0x8c, 0xb1, 0x6e, 0x79, 0xb8, 0x06, 0xb9, 0xa7}},
    // FWPM_CONDITION_IP_LOCAL_PORT = FWPM_CONDITION_ICMP_TYPE
    // {0C1BA1AF-5765-453F-AF22-A8F791AC775B}
    {0x0c1ba1af, 0x5765, 0x453f, {0xaf, 0x22, 0xa8, 0xf7, 0x91, 0xac, 0x77, 0x5b}},
    // FWPM_CONDITION_IP_REMOTE_PORT = FWPM_CONDITION_ICMP_CODE
    // {C35A604D-D22B-4E1A-91B4-68F674EE674B}
    {0xc35a604d, 0xd22b, 0x4e1a, {0x91, 0xb4, 0x68, 0xf6, 0x74, 0xee, 0x67, 0x4b}},
    // FWPM_CONDITION_IP_LOCAL_INTERFACE {4CD62A49-59C3-4969-B7F3-BDA5D32890A4}
    {0x4cd62a49, 0x59c3, 0x4969, {0xb7, 0xf3, 0xbd, 0xa5, 0xd3, 0x28, 0x90, 0xa4}},
    // FWPM_CONDITION_ALE_APP_ID {D78E1E87-8644-4EA5-9437-D809ECEFC971}
    {0xd78e1e87, 0x8644, 0x4ea5, {0x94, 0x37, 0xd8, 0x09, 0xec, 0xef, 0xc9, 0x71}},
    // FWPM_CONDITION_FLAGS {632CE23B-5167-435C-86D7-E903684AA80C}
    {0x632ce23b, 0x5167, 0x435c, {0x86, 0xd7, 0xe9, 0x03, 0x68, 0x4a, 0xa8, 0x0c}},
};

}  // namespace fwpuclnt_stand_in
