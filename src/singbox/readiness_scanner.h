#pragma once

#include <string>
#include <string_view>

namespace orvo_vpn_win_svc {

// Watches a child's output, chunk by chunk as the pipe delivers it, for the readiness text. The
// text may be cut between two chunks, so the end of each chunk is kept for the next.
class ReadinessScanner {
 public:
  // True once the readiness text has appeared in the output fed so far.
  bool Feed(std::string_view chunk);

 private:
  std::string tail_;
  bool seen_ = false;
};

}  // namespace orvo_vpn_win_svc
