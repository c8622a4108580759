#include "platform/wfp_filter_order.h"

#include <set>

namespace orvo_vpn_win_svc::platform {
namespace {

struct Specificity {
  size_t value_fields = 0;  // distinct fields whose value is tested
  bool flags = false;       // flag bits are tested
  friend auto operator<=>(const Specificity&, const Specificity&) = default;
};

Specificity SpecificityOf(const WfpFilter& filter) {
  std::set<WfpField> fields;
  Specificity specificity;
  for (const WfpCondition& condition : filter.conditions) {
    if (condition.field == WfpField::kFlags) {
      specificity.flags = true;
    } else {
      fields.insert(condition.field);
    }
  }
  specificity.value_fields = fields.size();
  return specificity;
}

}  // namespace

std::weak_ordering CompareWfpFilterPrecedence(const WfpFilter& a, const WfpFilter& b) {
  if (a.weight != b.weight) {
    return a.weight > b.weight ? std::weak_ordering::less : std::weak_ordering::greater;
  }
  // The more specific filter comes first.
  return SpecificityOf(b) <=> SpecificityOf(a);
}

}  // namespace orvo_vpn_win_svc::platform
