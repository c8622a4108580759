#pragma once

// Kill-switch settings as the case files under tests/golden/ write them, so that the unit and
// the kernel cases say them alike.
#include <algorithm>
#include <cctype>
#include <cstdint>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "killswitch/kill_switch_config.h"
#include "platform/text_encoding.h"

namespace orvo_test {

// The comma-separated items of `text`, in order.
inline std::vector<std::string> CommaList(const std::string& text) {
  std::vector<std::string> items;
  std::istringstream in(text);
  for (std::string item; std::getline(in, item, ',');) {
    items.push_back(item);
  }
  return items;
}

// Settings from words: "server=ADDRESS", "allow=A,B" and "apps=X.exe,Y.exe" (comma lists, which
// a repeated word extends), "lan", "tunnel=LUID" (a number, or an interface name that `luid_of`
// looks up), "service=PATH" and "singbox=PATH". Other words are the caller's and left alone.
inline orvo_vpn_win_svc::KillSwitchConfig KillSwitchSettings(
    const std::string& words, const std::function<uint64_t(const std::string&)>& luid_of = {}) {
  using orvo_vpn_win_svc::Utf8ToWide;
  orvo_vpn_win_svc::KillSwitchConfig config;
  std::istringstream in(words);
  for (std::string word; in >> word;) {
    const std::string key = word.substr(0, word.find('='));
    const std::string value = word.substr(std::min(word.size(), key.size() + 1));
    config.allow_lan = config.allow_lan || word == "lan";
    if (key == "server") config.vpn_server = value;
    if (key == "service") config.service_path = Utf8ToWide(value);
    if (key == "singbox") config.singbox_path = Utf8ToWide(value);
    if (key == "tunnel") {
      config.tunnel_luid = std::isdigit(static_cast<unsigned char>(value[0]))
                               ? std::stoull(value, nullptr, 0)
                               : luid_of(value);
    }
    for (const std::string& item : CommaList(value)) {
      if (key == "allow") config.allowlist.push_back(item);
      if (key == "apps") config.permitted_apps.push_back(Utf8ToWide(item));
    }
  }
  return config;
}

}  // namespace orvo_test
