#include "ipc/legacy_config_parser.h"

#include <cctype>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <vector>

namespace orvo_vpn_win_svc {
namespace {

// The legacy text is searched, not parsed: each field is found by its quoted key, first
// occurrence in the whole text, and read by the scanning rules below. A field that cannot be read
// makes the whole text invalid.

constexpr uint16_t kMinMtu = 1;
constexpr uint16_t kMaxMtu = 9000;

bool IsSpace(char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; }

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

std::optional<size_t> Found(size_t at) {
  return at == std::string_view::npos ? std::nullopt : std::optional<size_t>(at);
}

// Position of the first `c` at or after `from`.
std::optional<size_t> FindChar(std::string_view text, char c, size_t from) {
  return Found(text.find(c, from));
}

// Position of the opening quote of the first `"key"` in the text.
std::optional<size_t> FindKey(std::string_view text, std::string_view key) {
  return Found(text.find("\"" + std::string(key) + "\""));
}

// The text between the first two double quotes after the first ':' following the key. Taken
// literally: no escapes, so a value never contains a double quote.
std::optional<std::string> ReadString(std::string_view text, std::string_view key) {
  const auto at = FindKey(text, key);
  const auto colon = at ? FindChar(text, ':', *at) : std::nullopt;
  const auto open = colon ? FindChar(text, '"', *colon) : std::nullopt;
  const auto close = open ? FindChar(text, '"', *open + 1) : std::nullopt;
  if (!close) {
    return std::nullopt;
  }
  return std::string(text.substr(*open + 1, *close - *open - 1));
}

// The quoted items between the first '[' after the key and the first ']' after that. Unquoted
// items are skipped; after each item the scan resumes past the next ','.
std::optional<std::vector<std::string>> ReadList(std::string_view text, std::string_view key) {
  const auto at = FindKey(text, key);
  const auto open = at ? FindChar(text, '[', *at) : std::nullopt;
  const auto close = open ? FindChar(text, ']', *open) : std::nullopt;
  if (!close) {
    return std::nullopt;
  }
  std::vector<std::string> items;
  size_t pos = *open + 1;
  while (pos < *close) {
    if (IsSpace(text[pos])) {
      ++pos;
      continue;
    }
    if (text[pos] == '"') {
      const auto end = FindChar(text, '"', pos + 1);
      if (!end) {
        return std::nullopt;
      }
      items.emplace_back(text.substr(pos + 1, *end - pos - 1));
      pos = *end + 1;
    }
    const auto comma = FindChar(text, ',', pos);
    if (!comma) {
      break;
    }
    pos = *comma + 1;
  }
  return items;
}

// The run of decimal digits after the first ':' following the key and any whitespace. No digit,
// or a value beyond the signed 32-bit range, is invalid.
std::optional<int32_t> ReadNumber(std::string_view text, std::string_view key) {
  const auto at = FindKey(text, key);
  const auto colon = at ? FindChar(text, ':', *at) : std::nullopt;
  if (!colon) {
    return std::nullopt;
  }
  size_t pos = *colon + 1;
  while (pos < text.size() && IsSpace(text[pos])) {
    ++pos;
  }
  if (pos >= text.size() || !IsDigit(text[pos])) {
    return std::nullopt;
  }
  int64_t value = 0;
  for (; pos < text.size() && IsDigit(text[pos]); ++pos) {
    value = value * 10 + (text[pos] - '0');
    if (value > std::numeric_limits<int32_t>::max()) {
      return std::nullopt;
    }
  }
  return static_cast<int32_t>(value);
}

}  // namespace

bool ParseLegacyConfig(std::string_view text, ConnectRequest& request) {
  const auto string_field = [text](std::string_view key, std::string& field) {
    auto value = ReadString(text, key);
    if (value) {
      field = std::move(*value);
    }
    return value.has_value();
  };
  const auto list_field = [text](std::string_view key, std::vector<std::string>& field) {
    auto value = ReadList(text, key);
    if (value) {
      field = std::move(*value);
    }
    return value.has_value();
  };
  if (!string_field("serverEndpoint", request.serverEndpoint) ||
      !string_field("serverPublicKey", request.serverPublicKey) ||
      !string_field("privateKey", request.privateKey) ||
      !string_field("assignedIp", request.assignedIp) ||
      !list_field("dnsServers", request.dnsServers) ||
      !list_field("allowedIps", request.allowedIps)) {
    return false;
  }
  const auto mtu = ReadNumber(text, "mtu");
  if (!mtu || *mtu < kMinMtu || *mtu > kMaxMtu) {
    return false;
  }
  request.mtu = static_cast<uint16_t>(*mtu);
  return true;
}

}  // namespace orvo_vpn_win_svc
