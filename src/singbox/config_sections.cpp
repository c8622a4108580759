#include "singbox/config_sections.h"

#include <string>

namespace orvo_vpn_win_svc {

namespace {

using nlohmann::json;

// sing-box resolves names through this server, reached through the tunnel's outbound.
constexpr const char* kRemoteDnsTag = "dns-remote";
constexpr const char* kRemoteDnsServer = "8.8.8.8";

// The interface name the runtime waits for after sing-box reports that it started.
constexpr const char* kTunInterfaceName = "OrvoVPN";

// Keeps the server's own address out of the tunnel's routes; the suffix is written whatever
// the address family.
constexpr const char* kRouteExcludeSuffix = "/32";

bool HasObfsPassword(const Hysteria2ConnectRequest& request) {
  return request.obfs_password.has_value() && !request.obfs_password->empty();
}

}  // namespace

int32_t TorServerPort(const Hysteria2ConnectRequest& request) {
  return HasObfsPassword(request) ? request.port : kTorPlainServerPort;
}

bool UsesObfuscation(const Hysteria2ConnectRequest& request) {
  return HasObfsPassword(request) && !request.server_domain.empty();
}

json BuildDnsSection(std::string_view detour_tag) {
  json server = json::object();
  server["type"] = "udp";
  server["tag"] = kRemoteDnsTag;
  server["server"] = kRemoteDnsServer;
  server["detour"] = std::string(detour_tag);

  json dns = json::object();
  dns["servers"] = json::array({server});
  dns["final"] = kRemoteDnsTag;
  return dns;
}

json BuildTunInbound(const TunOptions& tun) {
  json inbound = json::object();
  inbound["type"] = "tun";
  inbound["tag"] = "tun-in";
  inbound["interface_name"] = kTunInterfaceName;
  inbound["address"] = json::array({tun.inet4_address, tun.inet6_address});
  inbound["mtu"] = tun.mtu;
  inbound["auto_route"] = tun.auto_route;
  inbound["strict_route"] = tun.strict_route;
  inbound["stack"] = tun.stack;
  if (!tun.route_exclude_address.empty()) {
    inbound["route_exclude_address"] =
        json::array({tun.route_exclude_address + kRouteExcludeSuffix});
  }
  return inbound;
}

json BuildHysteria2OutboundBase(std::string_view tag, const std::string& server,
                                int32_t server_port, const std::string& password) {
  json outbound = json::object();
  outbound["type"] = "hysteria2";
  outbound["tag"] = std::string(tag);
  outbound["server"] = server;
  outbound["server_port"] = server_port;
  outbound["password"] = password;
  return outbound;
}

json BuildSalamanderObfs(const std::string& password) {
  json obfs = json::object();
  obfs["type"] = "salamander";
  obfs["password"] = password;
  return obfs;
}

json BuildVerifiedTls(const std::string& server_name) {
  json tls = json::object();
  tls["enabled"] = true;
  tls["server_name"] = server_name;
  tls["insecure"] = false;
  tls["alpn"] = json::array({"h3"});
  return tls;
}

json BuildHysteria2Outbound(const Hysteria2ConnectRequest& request, std::string_view tag) {
  json outbound =
      BuildHysteria2OutboundBase(tag, request.server_ip, request.port, request.password);
  if (UsesObfuscation(request)) {
    outbound["obfs"] = BuildSalamanderObfs(*request.obfs_password);
    outbound["tls"] = BuildVerifiedTls(request.server_domain);
  } else {
    json tls = json::object();
    tls["enabled"] = true;
    tls["server_name"] = std::string(kFallbackTlsServerName);
    tls["insecure"] = true;
    outbound["tls"] = std::move(tls);
  }

  // Bandwidth hints only for a real rate; 0 or less means "let the protocol find out".
  if (request.speed_mbps.has_value() && *request.speed_mbps >= 1) {
    outbound["up_mbps"] = *request.speed_mbps;
    outbound["down_mbps"] = *request.speed_mbps;
  }
  return outbound;
}

json BuildRouteSection(std::string_view final_tag) {
  json sniff = json::object();
  sniff["action"] = "sniff";
  sniff["timeout"] = "300ms";

  json hijack_dns = json::object();
  hijack_dns["protocol"] = json::array({"dns"});
  hijack_dns["action"] = "hijack-dns";

  json route = json::object();
  route["rules"] = json::array({sniff, hijack_dns});
  route["final"] = std::string(final_tag);
  route["auto_detect_interface"] = true;
  return route;
}

}  // namespace orvo_vpn_win_svc
