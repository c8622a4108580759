#include "fakes/fake_host_resolver.h"

namespace orvo_test {

void FakeHostResolver::Answer(const std::string& name, std::vector<std::string> addresses) {
  std::lock_guard lock(mutex_);
  answers_[name] = std::move(addresses);
}

orvo_vpn_win_svc::platform::Ipv4Resolution FakeHostResolver::ResolveIpv4(const std::string& host) {
  std::lock_guard lock(mutex_);
  const auto answer = answers_.find(host);
  if (answer == answers_.end()) {
    return {kNotFound, {}};
  }
  return {0, answer->second};
}

}  // namespace orvo_test
