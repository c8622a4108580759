#include "singbox/config_documents.h"

#include <string_view>

#include <nlohmann/json.hpp>

#include "singbox/config_sections.h"

namespace orvo_vpn_win_svc {

namespace {

using nlohmann::json;

constexpr int kIndent = 2;

// Serialises with non-ASCII written as raw UTF-8. A text that is not valid UTF-8 cannot be
// written that way; rather than hand sing-box a document whose password or server name was
// silently altered, the result is then empty: no document at all, which every caller refuses
// to start ("No config set" in the wrapper) instead of connecting with the wrong values.
std::string SerializeDocument(const json& document) {
  try {
    return document.dump(kIndent, ' ', /*ensure_ascii=*/false, json::error_handler_t::strict);
  } catch (const json::type_error&) {
    return std::string();
  }
}

json BuildLogSection() {
  json log = json::object();
  log["level"] = "debug";
  log["timestamp"] = true;
  return log;
}

json BuildDirectOutbound() {
  json direct = json::object();
  direct["type"] = "direct";
  direct["tag"] = "direct";
  return direct;
}

std::string BuildTunnelDocument(const Hysteria2ConnectRequest& request, const TunOptions& tun,
                                std::string_view tag) {
  TunOptions tun_copy = tun;
  tun_copy.route_exclude_address = request.server_ip;

  json document = json::object();
  document["log"] = BuildLogSection();
  document["dns"] = BuildDnsSection(tag);
  document["inbounds"] = json::array({BuildTunInbound(tun_copy)});
  document["outbounds"] =
      json::array({BuildHysteria2Outbound(request, tag), BuildDirectOutbound()});
  document["route"] = BuildRouteSection(tag);
  return SerializeDocument(document);
}

}  // namespace

std::string BuildHysteria2Config(const Hysteria2ConnectRequest& request, const TunOptions& tun) {
  return BuildTunnelDocument(request, tun, kHysteria2OutboundTag);
}

std::string BuildHysteria2TorConfig(const Hysteria2ConnectRequest& request,
                                    const TunOptions& tun) {
  Hysteria2ConnectRequest request_copy = request;
  request_copy.port = TorServerPort(request);
  return BuildTunnelDocument(request_copy, tun, kHysteria2TorOutboundTag);
}

std::string BuildRelayConfig(const RelayConfigInput& relay) {
  json inbound = json::object();
  inbound["type"] = "mixed";
  inbound["tag"] = "proxy-in";
  inbound["listen"] = "127.0.0.1";
  inbound["listen_port"] = relay.local_port;
  inbound["sniff"] = true;
  inbound["sniff_override_destination"] = true;

  // The relay always obfuscates and always checks the relay's certificate.
  json outbound = BuildHysteria2OutboundBase(kRelayOutboundTag, relay.resolved_address,
                                             relay.relay_port, relay.password);
  outbound["obfs"] = BuildSalamanderObfs(relay.obfs_password);
  outbound["tls"] = BuildVerifiedTls(relay.relay_domain);

  json route = json::object();
  route["final"] = std::string(kRelayOutboundTag);

  json document = json::object();
  document["log"] = BuildLogSection();
  document["inbounds"] = json::array({std::move(inbound)});
  document["outbounds"] = json::array({std::move(outbound)});
  document["route"] = std::move(route);
  return SerializeDocument(document);
}

}  // namespace orvo_vpn_win_svc
