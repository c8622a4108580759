#pragma once

#include <cstdint>
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

// The sections a tunnel document is assembled from.
nlohmann::json BuildDnsSection(std::string_view detour_tag);
nlohmann::json BuildTunInbound(const TunOptions& tun);
nlohmann::json BuildHysteria2Outbound(const Hysteria2ConnectRequest& request,
                                      std::string_view tag);
nlohmann::json BuildRouteSection(std::string_view final_tag);

}  // namespace orvo_vpn_win_svc
