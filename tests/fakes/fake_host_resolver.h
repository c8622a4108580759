#pragma once

#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "platform/host_resolver.h"

namespace orvo_test {

// Answers from a table, so tests never need a network. Names not in the table fail with
// kNotFound (the code of WSAHOST_NOT_FOUND).
class FakeHostResolver : public orvo_vpn_win_svc::platform::HostResolver {
 public:
  static constexpr int kNotFound = 11001;

  void Answer(const std::string& name, std::vector<std::string> addresses);

  orvo_vpn_win_svc::platform::Ipv4Resolution ResolveIpv4(const std::string& host) override;

 private:
  std::mutex mutex_;
  std::map<std::string, std::vector<std::string>> answers_;
};

}  // namespace orvo_test
