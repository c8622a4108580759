#include "singbox/readiness_scanner.h"

#include "singbox/singbox_protocol.h"

namespace orvo_vpn_win_svc {

bool ReadinessScanner::Feed(std::string_view chunk) {
  if (seen_) {
    return true;
  }
  std::string window = tail_;
  window.append(chunk);
  if (window.find(kSingboxReadinessText) != std::string::npos) {
    seen_ = true;
    tail_.clear();
    return true;
  }
  const size_t keep = kSingboxReadinessText.size() - 1;
  tail_ = window.size() > keep ? window.substr(window.size() - keep) : window;
  return false;
}

}  // namespace orvo_vpn_win_svc
