#include "platform/wfp_filter_text.h"

#include <bit>
#include <cstdio>
#include <type_traits>

#include "platform/text_encoding.h"

namespace orvo_vpn_win_svc::platform {
namespace {

std::string Hex(uint64_t value, int digits) {
  char buffer[24];
  std::snprintf(buffer, sizeof(buffer), "%0*llX", digits, static_cast<unsigned long long>(value));
  return buffer;
}

std::string Ipv4Text(uint32_t address) {
  char buffer[16];
  std::snprintf(buffer, sizeof(buffer), "%u.%u.%u.%u", (address >> 24) & 0xFFu,
                (address >> 16) & 0xFFu, (address >> 8) & 0xFFu, address & 0xFFu);
  return buffer;
}

// RFC 5952 form: lower-case hex, the longest run of two or more zero groups shortened to "::".
std::string Ipv6Text(const std::array<uint8_t, 16>& address) {
  std::array<uint16_t, 8> groups{};
  for (size_t i = 0; i < 8; ++i) {
    groups[i] = static_cast<uint16_t>((address[2 * i] << 8) | address[2 * i + 1]);
  }
  size_t best_start = 8;
  size_t best_length = 1;
  for (size_t i = 0; i < 8;) {
    if (groups[i] != 0) {
      ++i;
      continue;
    }
    size_t end = i;
    while (end < 8 && groups[end] == 0) {
      ++end;
    }
    if (end - i > best_length) {
      best_start = i;
      best_length = end - i;
    }
    i = end;
  }
  std::string text;
  for (size_t i = 0; i < 8; ++i) {
    if (i == best_start) {
      text += "::";
      i += best_length - 1;
      continue;
    }
    if (!text.empty() && text.back() != ':') {
      text += ':';
    }
    char buffer[8];
    std::snprintf(buffer, sizeof(buffer), "%x", static_cast<unsigned>(groups[i]));
    text += buffer;
  }
  return text;
}

std::string V4NetworkText(const WfpV4AddressMask& network) {
  const std::string address = Ipv4Text(network.address);
  // A contiguous mask is shown as a prefix length, any other mask as it is.
  const int ones = std::countl_one(network.mask);
  if (ones == 32 || (network.mask << ones) == 0) {
    return address + "/" + std::to_string(ones);
  }
  return address + "/" + Ipv4Text(network.mask);
}

std::string AppIdText(const WfpByteBlob& blob) {
  // Application ids are NUL-terminated UTF-16LE paths; show them as text when they are plain.
  std::string text;
  bool printable = blob.size() >= 2 && blob.size() % 2 == 0;
  for (size_t i = 0; printable && i + 1 < blob.size(); i += 2) {
    const unsigned unit = blob[i] | (unsigned{blob[i + 1]} << 8);
    const bool last = i + 2 == blob.size();
    if (last) {
      printable = unit == 0;
    } else if (unit < 0x20 || unit > 0x7E || unit == '"') {
      printable = false;
    } else {
      text.push_back(static_cast<char>(unit));
    }
  }
  if (printable) {
    return "\"" + text + "\"";
  }
  std::string hex = "0x";
  for (const uint8_t byte : blob) {
    hex += Hex(byte, 2);
  }
  return hex;
}

const char* LayerText(WfpLayer layer) {
  switch (layer) {
    case WfpLayer::kAleAuthConnectV4:
      return "ALE_AUTH_CONNECT_V4";
    case WfpLayer::kAleAuthConnectV6:
      return "ALE_AUTH_CONNECT_V6";
  }
  return "?";
}

const char* FieldText(WfpField field) {
  switch (field) {
    case WfpField::kIpRemoteAddress:
      return "remote_address";
    case WfpField::kIpProtocol:
      return "protocol";
    case WfpField::kIpLocalPort:
      return "local_port";
    case WfpField::kIpRemotePort:
      return "remote_port";
    case WfpField::kIpLocalInterface:
      return "local_interface";
    case WfpField::kAleAppId:
      return "app_id";
    case WfpField::kFlags:
      return "flags";
  }
  return "?";
}

const char* MatchText(WfpMatch match) {
  switch (match) {
    case WfpMatch::kEqual:
      return "=";
    case WfpMatch::kRange:
      return " in ";
    case WfpMatch::kFlagsAllSet:
      return " all-set ";
    case WfpMatch::kFlagsNoneSet:
      return " none-set ";
  }
  return "?";
}

std::string ValueText(const WfpCondition& condition, std::optional<std::string_view> app_id_text) {
  if (condition.field == WfpField::kAleAppId && app_id_text) {
    return std::string(*app_id_text);
  }
  return std::visit(
      [&](const auto& value) -> std::string {
        using T = std::decay_t<decltype(value)>;
        if constexpr (std::is_same_v<T, WfpV4AddressMask>) {
          return V4NetworkText(value);
        } else if constexpr (std::is_same_v<T, WfpV6AddressPrefix>) {
          return Ipv6Text(value.address) + "/" + std::to_string(value.prefix_length);
        } else if constexpr (std::is_same_v<T, WfpUint16Range>) {
          return std::to_string(value.low) + "-" + std::to_string(value.high);
        } else if constexpr (std::is_same_v<T, WfpByteBlob>) {
          return AppIdText(value);
        } else if constexpr (std::is_same_v<T, uint64_t>) {
          return "0x" + Hex(value, 16);
        } else if constexpr (std::is_same_v<T, uint32_t>) {
          if (condition.field == WfpField::kFlags && value == kWfpConditionFlagIsLoopback) {
            return "loopback";
          }
          return "0x" + Hex(value, 8);
        } else {
          return std::to_string(value);
        }
      },
      condition.value);
}

}  // namespace

std::string DescribeWfpKey(const WfpKey& key) {
  std::string text =
      "{" + Hex(key.data1, 8) + "-" + Hex(key.data2, 4) + "-" + Hex(key.data3, 4) + "-";
  for (size_t i = 0; i < key.data4.size(); ++i) {
    if (i == 2) {
      text += '-';
    }
    text += Hex(key.data4[i], 2);
  }
  return text + "}";
}

std::string DescribeWfpFilter(const WfpFilter& filter,
                              std::optional<std::string_view> app_id_text) {
  std::string text = LayerText(filter.layer);
  text += " weight=" + std::to_string(filter.weight);
  text += filter.action == WfpAction::kPermit ? " PERMIT" : " BLOCK";
  for (const WfpCondition& condition : filter.conditions) {
    text += ' ';
    text += FieldText(condition.field);
    text += MatchText(condition.match);
    text += ValueText(condition, app_id_text);
  }
  text += " \"" + WideToUtf8(filter.name) + "\"";
  return text;
}

}  // namespace orvo_vpn_win_svc::platform
