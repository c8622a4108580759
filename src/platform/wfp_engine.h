#pragma once

#include <array>
#include <compare>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace orvo_vpn_win_svc::platform {

// Result codes of the filtering engine, as the system reports them (winerror.h values).
inline constexpr uint32_t kWfpSuccess = 0;
inline constexpr uint32_t kErrorFileNotFound = 2;
inline constexpr uint32_t kErrorAccessDenied = 5;
inline constexpr uint32_t kRpcCannotSupport = 1764;
inline constexpr uint32_t kFwpErrorConditionNotFound = 0x80320002;
inline constexpr uint32_t kFwpErrorFilterNotFound = 0x80320003;
inline constexpr uint32_t kFwpErrorProviderNotFound = 0x80320005;
inline constexpr uint32_t kFwpErrorSubLayerNotFound = 0x80320007;
inline constexpr uint32_t kFwpErrorAlreadyExists = 0x80320009;
inline constexpr uint32_t kFwpErrorInUse = 0x8032000A;
inline constexpr uint32_t kFwpErrorNoTransactionInProgress = 0x8032000D;
inline constexpr uint32_t kFwpErrorTransactionInProgress = 0x8032000E;
inline constexpr uint32_t kFwpErrorTimeout = 0x80320012;
inline constexpr uint32_t kFwpErrorInvalidNetMask = 0x8032001F;
inline constexpr uint32_t kFwpErrorInvalidRange = 0x80320020;
inline constexpr uint32_t kFwpErrorZeroLengthArray = 0x80320022;
inline constexpr uint32_t kFwpErrorNullDisplayName = 0x80320023;
inline constexpr uint32_t kFwpErrorInvalidWeight = 0x80320025;
inline constexpr uint32_t kFwpErrorMatchTypeMismatch = 0x80320026;
inline constexpr uint32_t kFwpErrorTypeMismatch = 0x80320027;

// The largest weight a filter may carry as an 8-bit weight.
inline constexpr uint8_t kWfpMaxFilterWeight = 15;

// FWP_CONDITION_FLAG_IS_LOOPBACK, the bit of the flags condition that marks loopback traffic.
inline constexpr uint32_t kWfpConditionFlagIsLoopback = 0x00000001;

void InvalidWfpKeyText();  // never defined: reached only by a malformed literal at compile time

// A 128-bit object key with the field layout of a GUID.
struct WfpKey {
  uint32_t data1 = 0;
  uint16_t data2 = 0;
  uint16_t data3 = 0;
  std::array<uint8_t, 8> data4{};

  friend auto operator<=>(const WfpKey&, const WfpKey&) = default;

  // "{C38D57D1-05A7-4C33-904F-7FBCEEE60E82}": the registry form, braces included.
  static consteval WfpKey FromText(std::string_view text) {
    constexpr std::string_view kShape = "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}";
    if (text.size() != kShape.size()) {
      InvalidWfpKeyText();
    }
    std::array<uint8_t, 16> bytes{};
    size_t nibble = 0;
    for (size_t i = 0; i < text.size(); ++i) {
      if (kShape[i] != 'X') {
        if (text[i] != kShape[i]) {
          InvalidWfpKeyText();
        }
        continue;
      }
      const char c = text[i];
      uint8_t value = 0;
      if (c >= '0' && c <= '9') {
        value = static_cast<uint8_t>(c - '0');
      } else if (c >= 'A' && c <= 'F') {
        value = static_cast<uint8_t>(c - 'A' + 10);
      } else if (c >= 'a' && c <= 'f') {
        value = static_cast<uint8_t>(c - 'a' + 10);
      } else {
        InvalidWfpKeyText();
      }
      bytes[nibble / 2] =
          static_cast<uint8_t>(bytes[nibble / 2] | (value << ((nibble % 2 == 0) ? 4 : 0)));
      ++nibble;
    }
    WfpKey key;
    key.data1 = (uint32_t{bytes[0]} << 24) | (uint32_t{bytes[1]} << 16) |
                (uint32_t{bytes[2]} << 8) | uint32_t{bytes[3]};
    key.data2 = static_cast<uint16_t>((bytes[4] << 8) | bytes[5]);
    key.data3 = static_cast<uint16_t>((bytes[6] << 8) | bytes[7]);
    for (size_t i = 0; i < 8; ++i) {
      key.data4[i] = bytes[8 + i];
    }
    return key;
  }
};

// The two outbound connection authorisation layers the kill switch filters.
enum class WfpLayer : uint8_t {
  kAleAuthConnectV4,  // FWPM_LAYER_ALE_AUTH_CONNECT_V4
  kAleAuthConnectV6,  // FWPM_LAYER_ALE_AUTH_CONNECT_V6
};

// Condition fields, each with the value type the system expects.
enum class WfpField : uint8_t {
  kIpRemoteAddress,   // FWPM_CONDITION_IP_REMOTE_ADDRESS: WfpV4AddressMask or WfpV6AddressPrefix
  kIpProtocol,        // FWPM_CONDITION_IP_PROTOCOL: uint8_t
  kIpLocalPort,       // FWPM_CONDITION_IP_LOCAL_PORT (the ICMP type for ICMP): uint16_t or range
  kIpRemotePort,      // FWPM_CONDITION_IP_REMOTE_PORT (the ICMP code for ICMP): uint16_t or range
  kIpLocalInterface,  // FWPM_CONDITION_IP_LOCAL_INTERFACE: uint64_t interface LUID
  kAleAppId,          // FWPM_CONDITION_ALE_APP_ID: the application id blob
  kFlags,             // FWPM_CONDITION_FLAGS: uint32_t flag bits
};

enum class WfpMatch : uint8_t {
  kEqual,         // FWP_MATCH_EQUAL
  kRange,         // FWP_MATCH_RANGE (WfpUint16Range)
  kFlagsAllSet,   // FWP_MATCH_FLAGS_ALL_SET
  kFlagsNoneSet,  // FWP_MATCH_FLAGS_NONE_SET
};

enum class WfpAction : uint8_t {
  kBlock,   // FWP_ACTION_BLOCK
  kPermit,  // FWP_ACTION_PERMIT
};

// An IPv4 network: address and mask in host byte order (FWP_V4_ADDR_AND_MASK).
struct WfpV4AddressMask {
  uint32_t address = 0;
  uint32_t mask = 0;
  friend bool operator==(const WfpV4AddressMask&, const WfpV4AddressMask&) = default;
};

// An IPv6 network: address in network byte order and prefix length (FWP_V6_ADDR_AND_MASK).
struct WfpV6AddressPrefix {
  std::array<uint8_t, 16> address{};
  uint8_t prefix_length = 0;
  friend bool operator==(const WfpV6AddressPrefix&, const WfpV6AddressPrefix&) = default;
};

// An inclusive range of 16-bit values (FWP_RANGE0 of two FWP_UINT16).
struct WfpUint16Range {
  uint16_t low = 0;
  uint16_t high = 0;
  friend bool operator==(const WfpUint16Range&, const WfpUint16Range&) = default;
};

using WfpByteBlob = std::vector<uint8_t>;

using WfpConditionValue = std::variant<uint8_t, uint16_t, uint32_t, uint64_t, WfpV4AddressMask,
                                       WfpV6AddressPrefix, WfpUint16Range, WfpByteBlob>;

// Conditions on different fields must all hold; conditions on the same field are alternatives.
struct WfpCondition {
  WfpField field = WfpField::kIpRemoteAddress;
  WfpMatch match = WfpMatch::kEqual;
  WfpConditionValue value;
  friend bool operator==(const WfpCondition&, const WfpCondition&) = default;
};

// FWPM_SESSION0 as this service fills it.
struct WfpSessionOptions {
  std::wstring name;
  std::wstring description;
  bool dynamic = false;  // FWPM_SESSION_FLAG_DYNAMIC: the session's objects vanish when it closes
  uint32_t transaction_wait_ms = 0;
};

// FWPM_PROVIDER0 with flags 0, no provider data and no service name.
struct WfpProvider {
  WfpKey key;
  std::wstring name;
  std::wstring description;
};

// FWPM_SUBLAYER0 with flags 0 and no provider data.
struct WfpSubLayer {
  WfpKey key;
  std::wstring name;
  std::wstring description;
  WfpKey provider;
  uint16_t weight = 0;
};

// FWPM_FILTER0 with a zero filter key (the system assigns one), flags 0, no provider key and an
// 8-bit weight. An empty description is passed as none.
struct WfpFilter {
  std::wstring name;
  std::wstring description;
  WfpLayer layer = WfpLayer::kAleAuthConnectV4;
  WfpKey sublayer;
  uint8_t weight = 0;
  WfpAction action = WfpAction::kBlock;
  std::vector<WfpCondition> conditions;
  friend bool operator==(const WfpFilter&, const WfpFilter&) = default;
};

struct WfpFilterAdd {
  uint32_t code = kWfpSuccess;
  uint64_t id = 0;  // the id the system gave the filter, when code is kWfpSuccess
};

struct WfpAppId {
  uint32_t code = kWfpSuccess;
  WfpByteBlob blob;  // the application id, when code is kWfpSuccess
};

// One open engine session (FwpmEngineOpen0 .. FwpmEngineClose0). Destroying it closes it; the
// objects of a dynamic session go with it. Every call returns the system's result code.
class WfpSession {
 public:
  virtual ~WfpSession() = default;

  virtual uint32_t AddProvider(const WfpProvider& provider) = 0;
  virtual uint32_t DeleteProvider(const WfpKey& key) = 0;
  virtual uint32_t AddSubLayer(const WfpSubLayer& sublayer) = 0;
  virtual uint32_t DeleteSubLayer(const WfpKey& key) = 0;
  virtual WfpFilterAdd AddFilter(const WfpFilter& filter) = 0;
  virtual uint32_t DeleteFilter(uint64_t id) = 0;
  // Changes made between Begin and Commit become visible together at Commit; Abort drops them.
  virtual uint32_t BeginTransaction() = 0;
  virtual uint32_t CommitTransaction() = 0;
  virtual uint32_t AbortTransaction() = 0;
};

struct WfpSessionOpen {
  uint32_t code = kWfpSuccess;
  std::unique_ptr<WfpSession> session;  // set when code is kWfpSuccess
};

// The system's filtering engine.
class WfpEngine {
 public:
  virtual ~WfpEngine() = default;

  virtual WfpSessionOpen OpenSession(const WfpSessionOptions& options) = 0;
  // The application id of an executable (FwpmGetAppIdFromFileName0); fails for a file that does
  // not exist.
  virtual WfpAppId GetAppIdFromFileName(const std::wstring& path) = 0;
};

// The real engine: fwpuclnt on Windows; nftables on Linux (NftablesWfpEngine), which refuses
// objects to a process without CAP_NET_ADMIN as Windows refuses them to a non-administrator.
std::shared_ptr<WfpEngine> SystemWfpEngine();

}  // namespace orvo_vpn_win_svc::platform
