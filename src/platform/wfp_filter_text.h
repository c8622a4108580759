#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform/wfp_engine.h"

namespace orvo_vpn_win_svc::platform {

// Plain-text forms of filtering-engine objects, for logs of fakes and for tests that compare what
// was installed with what they expect.

// "{C38D57D1-05A7-4C33-904F-7FBCEEE60E82}"
std::string DescribeWfpKey(const WfpKey& key);

// One line, for example
//   ALE_AUTH_CONNECT_V4 weight=10 PERMIT remote_address=203.0.113.7/32 "ORVO: Permit Allowlist IP"
// Conditions appear in their order, separated by spaces. An application id is shown as the
// text it encodes when it is a UTF-16 string of printable ASCII, else in hex; `app_id_text`, when
// given, is shown instead of the id.
std::string DescribeWfpFilter(const WfpFilter& filter,
                              std::optional<std::string_view> app_id_text = std::nullopt);

}  // namespace orvo_vpn_win_svc::platform
