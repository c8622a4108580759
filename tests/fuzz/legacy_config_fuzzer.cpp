// The legacy configuration text arrives from any local client after "connect:". The parser must
// survive every input, and what it accepts must keep the record's promises.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "ipc/legacy_config_parser.h"

namespace {

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "legacy_config_fuzzer: %s\n", what);
  std::abort();
}

// Values are taken literally between quotes, so they can hold no quote, and they are pieces
// of the text.
void CheckValue(std::string_view text, const std::string& value) {
  if (value.find('"') != std::string::npos) {
    Fail("a value holds a double quote");
  }
  if (text.find(value) == std::string_view::npos) {
    Fail("a value is not part of the text");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  orvo_vpn_win_svc::ConnectRequest request;
  if (!orvo_vpn_win_svc::ParseLegacyConfig(text, request)) {
    return 0;
  }
  if (request.mtu < 1 || request.mtu > 9000) {
    Fail("accepted an mtu outside 1..9000");
  }
  for (const std::string* value : {&request.serverEndpoint, &request.serverPublicKey,
                                   &request.privateKey, &request.assignedIp}) {
    CheckValue(text, *value);
  }
  for (const auto* list : {&request.dnsServers, &request.allowedIps}) {
    for (const std::string& item : *list) {
      CheckValue(text, item);
    }
  }
  return 0;
}
