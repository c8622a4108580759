#include "support/kill_switch_settings.h"

#include <cctype>
#include <sstream>

#include "platform/text_encoding.h"

namespace orvo_test {

using orvo_vpn_win_svc::Utf8ToWide;

std::vector<std::string> CommaList(const std::string& text) {
  std::vector<std::string> items;
  std::istringstream in(text);
  for (std::string item; std::getline(in, item, ',');) {
    items.push_back(item);
  }
  return items;
}

orvo_vpn_win_svc::KillSwitchConfig KillSwitchSettings(
    const std::string& words, const std::function<uint64_t(const std::string&)>& luid_of) {
  orvo_vpn_win_svc::KillSwitchConfig config;
  std::istringstream in(words);
  for (std::string word; in >> word;) {
    const size_t equals = word.find('=');
    const std::string key = word.substr(0, equals);
    const std::string value = equals == std::string::npos ? "" : word.substr(equals + 1);
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
