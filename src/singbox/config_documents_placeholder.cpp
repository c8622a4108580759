// TEMPORARY: stands in for the real document builders until they are merged; delete this file
// then. It writes only the members the sing-box stand-in reads, so the wrapper and the relay can
// be run end to end.
#include <nlohmann/json.hpp>

#include "singbox/config_documents.h"

namespace orvo_vpn_win_svc {
namespace {

std::string TunnelDocument(const Hysteria2ConnectRequest& request, const TunOptions& tun) {
  nlohmann::json document;
  document["inbounds"] =
      nlohmann::json::array({{{"type", "tun"}, {"interface_name", "OrvoVPN"}, {"mtu", tun.mtu}}});
  document["outbounds"] = nlohmann::json::array(
      {{{"type", "hysteria2"}, {"server", request.server_ip}, {"password", request.password}}});
  return document.dump(2);
}

}  // namespace

std::string BuildHysteria2Config(const Hysteria2ConnectRequest& request, const TunOptions& tun) {
  return TunnelDocument(request, tun);
}

std::string BuildHysteria2TorConfig(const Hysteria2ConnectRequest& request, const TunOptions& tun) {
  return TunnelDocument(request, tun);
}

std::string BuildRelayConfig(const RelayConfigInput& relay) {
  nlohmann::json document;
  document["inbounds"] = nlohmann::json::array(
      {{{"type", "mixed"}, {"listen", "127.0.0.1"}, {"listen_port", relay.local_port}}});
  document["outbounds"] = nlohmann::json::array(
      {{{"type", "hysteria2"},
        {"server", relay.resolved_address},
        {"password", relay.password},
        {"obfs", {{"type", "salamander"}, {"password", relay.obfs_password}}}}});
  return document.dump(2);
}

}  // namespace orvo_vpn_win_svc
