#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "ipc/request_records.h"
#include "singbox/config_documents.h"

namespace orvo_vpn_win_svc {

// Outbound tags that the DNS detour and the route's final rule point to.
inline constexpr std::string_view kHysteria2OutboundTag = "hysteria2-out";
inline constexpr std::string_view kHysteria2TorOutboundTag = "hysteria2-tor-out";
inline constexpr std::string_view kRelayOutboundTag = "relay-out";

// Without obfuscation the TLS handshake names a well-known public web host and skips the
// certificate check; the server's own certificate is only checked when obfuscation is on.
inline constexpr std::string_view kFallbackTlsServerName = "www.bing.com";

// Without obfuscation a Tor-carried connection always goes to this port.
inline constexpr int32_t kTorPlainServerPort = 8443;

// The port a Tor document connects to: the requested one with obfuscation configured (a
// non-empty obfs_password), otherwise kTorPlainServerPort. The runtime reports the same port.
int32_t TorServerPort(const Hysteria2ConnectRequest& request);

// True when obfs_password is present and not empty and server_domain is not empty.
bool UsesObfuscation(const Hysteria2ConnectRequest& request);

// Parts of a hysteria2 outbound shared by the tunnel and relay documents: the members every
// outbound has, the salamander obfuscation object, and TLS that checks the server's
// certificate against server_name and offers HTTP/3.
nlohmann::json BuildHysteria2OutboundBase(std::string_view tag, const std::string& server,
                                          int32_t server_port, const std::string& password);
nlohmann::json BuildSalamanderObfs(const std::string& password);
nlohmann::json BuildVerifiedTls(const std::string& server_name);

// The sections a tunnel document is assembled from.
nlohmann::json BuildDnsSection(std::string_view detour_tag);
nlohmann::json BuildTunInbound(const TunOptions& tun);
nlohmann::json BuildHysteria2Outbound(const Hysteria2ConnectRequest& request,
                                      std::string_view tag);
nlohmann::json BuildRouteSection(std::string_view final_tag);

}  // namespace orvo_vpn_win_svc
