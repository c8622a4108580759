// The Hysteria2 connects: checks, IPv6 block, name resolution, the sing-box document, and the
// record of the connection once the attempt loop (hysteria2_attempts.cpp) has brought it up.
#include <string>

#include "platform/ipv4_literal.h"
#include "platform/log.h"
#include "runtime/runtime.h"
#include "singbox/config_documents.h"
#include "singbox/config_sections.h"
#include "singbox/singbox_protocol.h"

namespace orvo_vpn_win_svc {

struct Runtime::Hysteria2Variant {
  bool tor = false;
  const char* operation = nullptr;        // "ConnectHysteria2" or "ConnectHysteria2Tor"
  const char* line_prefix = nullptr;      // before the resolution lines: "" or "TOR: "
  const char* document_name = nullptr;    // in the size line: "" or "TOR "
  const char* success_name = nullptr;     // in the success lines: "" or "TOR "
  const wchar_t* ipv6_blocked = nullptr;  // debugger lines
  const wchar_t* ipv6_not_blocked = nullptr;
  const wchar_t* success_debug = nullptr;
};

namespace {

constexpr char kSingboxNotInit[] =
    "ERR_SINGBOX_NOT_INIT: sing-box.exe not found in service directory";
constexpr char kWintunNotInstalled[] =
    "ERR_WINTUN_NOT_INSTALLED: WinTUN driver not installed. Please reinstall OrvoVPN.";

// The TUN interface sing-box creates, the same for both variants.
TunOptions Hysteria2TunOptions() {
  TunOptions tun;
  tun.inet4_address = "172.19.0.1/30";
  tun.inet6_address = "fdfe:dcba:9876::1/126";
  tun.mtu = 1400;
  tun.auto_route = true;
  tun.strict_route = true;
  tun.stack = "system";
  return tun;
}

bool HasObfuscationPassword(const Hysteria2ConnectRequest& request) {
  return request.obfs_password.has_value() && !request.obfs_password->empty();
}

// The summary of what the plain document is built from; the password only by its length.
void LogConfigSummary(const Hysteria2ConnectRequest& request) {
  LogLine("ORVO_SVC: === HYSTERIA2 CONFIG BUILD ===\n");
  LogLine("ORVO_SVC: server_ip: %s\n", request.server_ip.c_str());
  LogLine("ORVO_SVC: server_domain: %s\n", request.server_domain.c_str());
  LogLine("ORVO_SVC: port: %d\n", request.port);
  LogLine("ORVO_SVC: password: [SET] (len=%zu)\n", request.password.size());
  LogLine("ORVO_SVC: has_obfs: %s\n", HasObfuscationPassword(request) ? "true" : "false");
  if (request.obfs_password.has_value()) {
    LogLine("ORVO_SVC: obfs_password: [SET] (len=%zu)\n", request.obfs_password->size());
  }
  LogLine("ORVO_SVC: use_tor: %s\n", request.use_tor ? "true" : "false");
  LogLine("ORVO_SVC: =================================\n");
}

}  // namespace

bool Runtime::ConnectHysteria2(const Hysteria2ConnectRequest& request, std::string& error) {
  static const Hysteria2Variant plain{false,
                                      "ConnectHysteria2",
                                      "",
                                      "",
                                      "",
                                      L"ORVO_SVC: IPv6 blocked before connection\n",
                                      L"ORVO_SVC: Warning - failed to block IPv6 (continuing "
                                      L"anyway)\n",
                                      L"ORVO_SVC: Hysteria2 connected successfully\n"};
  return ConnectHysteria2Variant(request, error, plain);
}

bool Runtime::ConnectHysteria2Tor(const Hysteria2ConnectRequest& request, std::string& error) {
  static const Hysteria2Variant tor{true,
                                    "ConnectHysteria2Tor",
                                    "TOR: ",
                                    "TOR ",
                                    "TOR ",
                                    L"ORVO_SVC: IPv6 blocked before TOR connection\n",
                                    L"ORVO_SVC: Warning - failed to block IPv6 for TOR (continuing "
                                    L"anyway)\n",
                                    L"ORVO_SVC: Hysteria2 TOR connected successfully\n"};
  return ConnectHysteria2Variant(request, error, tor);
}

bool Runtime::ConnectHysteria2Variant(const Hysteria2ConnectRequest& request, std::string& error,
                                      const Hysteria2Variant& variant) {
  error.clear();
  const auto start = facilities_.clock.Now();
  LogLine("ORVO_SVC: [%lldms] %s started\n", ElapsedMs(start), variant.operation);

  if (!singbox_available_) {
    error = kSingboxNotInit;
    LogLine("ORVO_SVC: [%lldms] %s\n", ElapsedMs(start), error.c_str());
    return false;
  }
  if (!facilities_.wintun_driver_installed()) {
    error = kWintunNotInstalled;
    LogLine("ORVO_SVC: [%lldms] %s\n", ElapsedMs(start), error.c_str());
    return false;
  }
  LogLine("ORVO_SVC: [%lldms] WinTUN driver check passed\n", ElapsedMs(start));

  SetStatus(ConnectionStatus::Connecting);

  LogLine("ORVO_SVC: [%lldms] Blocking IPv6...\n", ElapsedMs(start));
  if (facilities_.wfp.BlockIPv6()) {
    DebugLine(variant.ipv6_blocked);
  } else {
    DebugLine(variant.ipv6_not_blocked);
    LogLine("ORVO_SVC: [%lldms] WARNING: IPv6 block failed\n", ElapsedMs(start));
  }

  Hysteria2ConnectRequest copy = request;
  LogLine("ORVO_SVC: [%lldms] %sResolving domain: %s\n", ElapsedMs(start), variant.line_prefix,
          request.server_ip.c_str());
  std::string address;
  if (ResolveServerAddress(request.server_ip, address, error)) {
    copy.server_ip = address;
    LogLine("ORVO_SVC: [%lldms] %sResolved %s -> %s\n", ElapsedMs(start), variant.line_prefix,
            request.server_ip.c_str(), address.c_str());
  } else {
    // Not an error of the connect: sing-box is handed the name and may resolve it itself.
    LogLine("ORVO_SVC: [%lldms] %sDNS resolution failed: %s\n", ElapsedMs(start),
            variant.line_prefix, error.c_str());
    error.clear();
    LogLine("ORVO_SVC: [%lldms] %sContinuing with original value: %s\n", ElapsedMs(start),
            variant.line_prefix, request.server_ip.c_str());
  }

  if (!variant.tor) {
    LogConfigSummary(copy);
  }
  const TunOptions tun = Hysteria2TunOptions();
  std::string config =
      variant.tor ? BuildHysteria2TorConfig(copy, tun) : BuildHysteria2Config(copy, tun);
  LogLine("ORVO_SVC: Generated %ssing-box config (%zu bytes)\n", variant.document_name,
          config.size());

  const bool connected = StartSingboxWithRetries(config, error);
  // The document holds the passwords: no copy of it outlives the attempts.
  WipeText(config);

  if (!connected) {
    facilities_.wfp.UnblockIPv6();
    // No tunnel came up: an interface found by a failed TUN check must not stay permitted. A
    // connect refused while an earlier tunnel's child still runs leaves that tunnel's LUID.
    if (!facilities_.singbox.RunningFlag()) {
      ForgetTunLuid();
    }
    SetStatus(ConnectionStatus::Invalid);
    return false;
  }

  const int32_t port = variant.tor ? TorServerPort(copy) : copy.port;
  const int64_t connected_at = facilities_.wall_clock();
  {
    std::lock_guard lock(mutex_);
    info_.server_ip = copy.server_ip;
    info_.worker_endpoint = copy.server_ip + ":" + std::to_string(port);
    info_.protocol = variant.tor ? "hysteria2_tor" : "hysteria2";
    info_.use_tor = variant.tor;
    info_.connected_at = connected_at;
  }
  // The kill switch's permits follow the new server and TUN interface before the connection is
  // reported up.
  RefreshKillSwitch("connect");
  SetStatus(ConnectionStatus::Connected);
  LogLine("ORVO_SVC: Hysteria2 %sconnected successfully!\n", variant.success_name);
  DebugLine(variant.success_debug);
  // A child that ended before the status said connected was no lost tunnel to its reader yet.
  if (const std::optional<uint32_t> code = facilities_.singbox.ExitCode()) {
    TunnelChildEnded(*code);
  }
  return true;
}

bool Runtime::ResolveServerAddress(const std::string& host, std::string& address,
                                   std::string& error) {
  if (platform::ParseIpv4Literal(host)) {
    address = host;
    return true;
  }
  if (!platform::FirstIpv4Address(facilities_.resolve_ipv4(host), host, address, error)) {
    return false;
  }
  LogLine("ORVO_SVC: Resolved %s -> %s\n", host.c_str(), address.c_str());
  return true;
}

}  // namespace orvo_vpn_win_svc
