// The legacy configuration text arrives from any local client after "connect:". The parser must
// survive every input, and what it accepts must keep the record's promises.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "ipc/legacy_config_parser.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  orvo_vpn_win_svc::ConnectRequest request;
  if (!orvo_vpn_win_svc::ParseLegacyConfig(text, request)) {
    return 0;
  }
  if (request.mtu < 1 || request.mtu > 9000) {
    std::fprintf(stderr, "legacy_config_fuzzer: accepted an mtu %u outside 1..9000\n", request.mtu);
    std::abort();
  }
  // Values are taken literally between quotes, so they can hold no quote, and they are pieces
  // of the text.
  std::vector<std::string> values = {request.serverEndpoint, request.serverPublicKey,
                                     request.privateKey, request.assignedIp};
  values.insert(values.end(), request.dnsServers.begin(), request.dnsServers.end());
  values.insert(values.end(), request.allowedIps.begin(), request.allowedIps.end());
  for (const std::string& value : values) {
    if (value.find('"') != std::string::npos || text.find(value) == std::string_view::npos) {
      std::fprintf(stderr,
                   "legacy_config_fuzzer: value \"%s\" holds a quote or is not part of the text\n",
                   value.c_str());
      std::abort();
    }
  }
  return 0;
}
