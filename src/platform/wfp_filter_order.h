#pragma once

#include <compare>

#include "platform/wfp_engine.h"

namespace orvo_vpn_win_svc::platform {

// The order in which the filtering engine offers a connection to the filters of one sublayer:
// std::strong_ordering::less when `a` comes before `b`.
//
// An 8-bit weight only picks one of 16 ranges (its 4 high bits); within the range the engine
// fills the low 60 bits itself, from how specifically the filter's conditions test the
// connection (Microsoft: "Filter Weight Assignment" and FWPS_FILTER0.weight). That formula is
// not published; this keeps its documented direction: a filter that tests more of the
// connection's fields comes first, and a test of flag bits (loopback, ...) narrows less than a
// test of a field's value. Filters that are still equal are unordered (`equivalent`): the
// system promises nothing among them.
std::weak_ordering CompareWfpFilterPrecedence(const WfpFilter& a, const WfpFilter& b);

}  // namespace orvo_vpn_win_svc::platform
