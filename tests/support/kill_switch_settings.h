#pragma once

// Kill-switch settings as the case files under tests/golden/ write them, so that the unit and
// the kernel cases say them alike.
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "killswitch/kill_switch_config.h"

namespace orvo_test {

// The comma-separated items of `text`, in order.
std::vector<std::string> CommaList(const std::string& text);

// Settings from words: "server=ADDRESS", "allow=A,B" and "apps=X.exe,Y.exe" (comma lists, which
// a repeated word extends), "lan", "tunnel=LUID" (a number, or an interface name that `luid_of`
// looks up), "service=PATH" and "singbox=PATH". Other words are the caller's and left alone.
orvo_vpn_win_svc::KillSwitchConfig KillSwitchSettings(
    const std::string& words, const std::function<uint64_t(const std::string&)>& luid_of = {});

}  // namespace orvo_test
