// The WireGuard connect: the two tunnel libraries, the adapter "ORVO VPN" with its address and
// MTU, a host route for the server outside the tunnel, the connected UDP socket, the routes of
// the allowed networks, the tunnel object and the packet threads. Every report is a debugger
// line; every failure is one short code in `error`.
#include <cstdint>
#include <string>

#include "platform/ipv4_literal.h"
#include "platform/log.h"
#include "runtime/endpoint_parser.h"
#include "runtime/exclusion_route_upkeep.h"
#include "runtime/network_parser.h"
#include "runtime/packet_pump.h"
#include "runtime/runtime.h"

namespace orvo_vpn_win_svc {
namespace {

constexpr wchar_t kAdapterName[] = L"ORVO VPN";
constexpr wchar_t kTunnelType[] = L"WireGuard";
constexpr uint32_t kRingCapacity = 0x400000;
constexpr uint16_t kKeepAliveSeconds = 25;
constexpr uint32_t kRouteProtocol = 1;
constexpr uint32_t kAllowedNetworkMetric = 10;

}  // namespace

bool Runtime::Connect(const ConnectRequest& request, std::string& error) {
  error.clear();
  {
    std::lock_guard lock(mutex_);
    state_ = "connecting";
  }
  DebugLine(L"ORVO_SVC: Runtime::Connect begin\n");
  bool replaces_a_tunnel_up = false;
  {
    std::lock_guard lock(mutex_);
    replaces_a_tunnel_up = wireguard_luid_.has_value();
  }
  // A tunnel of an earlier connect (up, or left in pieces by a failure) would otherwise be
  // overwritten with its threads still running on its session and socket.
  ReleaseWireGuardTunnel();

  bool socket_library_started = false;
  const auto fail = [&](std::string code) {
    error = std::move(code);
    {
      std::lock_guard lock(mutex_);
      state_ = "invalid";
    }
    if (socket_library_started) {
      facilities_.stop_socket_library();
    }
    // The tunnel this connect released is no longer permitted.
    if (replaces_a_tunnel_up) {
      RefreshKillSwitch("failed connect");
    }
    return false;
  };

  if (!wintun_.Loaded() && !LoadWintunLibrary(facilities_.load_library, wintun_)) {
    DebugLine(L"ORVO_SVC: Wintun load failed\n");
    return fail("wintun_load_failed");
  }
  DebugLine(L"ORVO_SVC: Wintun loaded\n");
  if (!boringtun_.Loaded() && !LoadBoringtunLibrary(facilities_.load_library, boringtun_)) {
    return fail("boringtun_load_failed");
  }
  if (!facilities_.start_socket_library()) {
    return fail("wsa_start_failed");
  }
  socket_library_started = true;

  if (!OpenAdapterAndSession(error)) {
    return fail(error.c_str());
  }
  const std::optional<uint32_t> assigned = platform::ParseIpv4Literal(request.assignedIp);
  if (!assigned) {
    return fail("bad_assigned_ip");
  }
  AddAdapterAddressAndMtu(*assigned, request.mtu);

  platform::IpAddress server;
  uint16_t port = 0;
  if (!ResolveWireGuardServer(request, server, port, error)) {
    return fail(error.c_str());
  }
  AddServerHostRoute(server);

  platform::UdpSocketOpening opening = facilities_.open_udp_socket(server, port);
  if (!opening.socket) {
    if (opening.failed_step == platform::UdpSocketOpening::Step::kConnect) {
      DebugLineFormat("ORVO_SVC: udp_connect_failed, err=%d\n", static_cast<int>(opening.error));
      return fail("udp_connect_failed");
    }
    DebugLineFormat("ORVO_SVC: udp_socket_failed, err=%d\n", static_cast<int>(opening.error));
    return fail("udp_socket_failed");
  }
  socket_ = std::move(opening.socket);

  AddAllowedNetworkRoutes(request.allowedIps);

  if (!StartPacketThreads(request, error)) {
    return fail(error.c_str());
  }
  {
    std::lock_guard lock(mutex_);
    wireguard_luid_ = luid_;
    wireguard_server_ = server_ipv4_text_;
  }
  // The kill switch's permits follow the adapter before the tunnel is reported up.
  RefreshKillSwitch("connect");
  std::lock_guard lock(mutex_);
  state_ = "connected";
  return true;
}

bool Runtime::OpenAdapterAndSession(std::string& error) {
  const WintunFunctions& wintun = wintun_.table;
  DebugLine(L"ORVO_SVC: Opening/Creating adapter 'ORVO VPN'\n");
  WintunAdapterHandle adapter = wintun.OpenAdapter(kAdapterName);
  if (adapter == nullptr) {
    DebugLineFormat("ORVO_SVC: OpenAdapter failed, err=%lu\n",
                    static_cast<unsigned long>(facilities_.last_error()));
    adapter = wintun.CreateAdapter(kAdapterName, kTunnelType, nullptr);
    if (adapter == nullptr) {
      DebugLineFormat("ORVO_SVC: CreateAdapter failed, err=%lu\n",
                      static_cast<unsigned long>(facilities_.last_error()));
      DebugLine(L"ORVO_SVC: Create/Open adapter failed\n");
      error = "wintun_adapter_failed";
      return false;
    }
  }
  adapter_ = adapter;

  session_ = wintun.StartSession(adapter_, kRingCapacity);
  if (session_ == nullptr) {
    DebugLineFormat("ORVO_SVC: StartSession failed, err=%lu\n",
                    static_cast<unsigned long>(facilities_.last_error()));
    error = "wintun_session_failed";
    return false;
  }
  if (wintun.GetAdapterLUID == nullptr) {
    DebugLine(L"ORVO_SVC: GetAdapterLUID not available\n");
    error = "get_luid_failed";
    return false;
  }
  uint64_t luid = 0;
  wintun.GetAdapterLUID(adapter_, &luid);
  luid_ = luid;
  return true;
}

void Runtime::AddAdapterAddressAndMtu(uint32_t assigned_ipv4, uint32_t mtu) {
  platform::UnicastAddressRow row;
  row.luid = luid_;
  row.address = platform::IpAddress::Ipv4(assigned_ipv4);
  row.prefix_length = 32;
  // An address that is already there is no reason to give up: the tunnel still works with it.
  if (facilities_.ip_helper->CreateUnicastAddress(row) == platform::kIpHelperOk) {
    address_added_ = true;
    address_row_ = row;
  }
  uint32_t current_mtu = 0;
  if (facilities_.ip_helper->GetInterfaceMtu(luid_, current_mtu) == platform::kIpHelperOk) {
    facilities_.ip_helper->SetInterfaceMtu(luid_, mtu);
  }
}

bool Runtime::ResolveWireGuardServer(const ConnectRequest& request, platform::IpAddress& server,
                                     uint16_t& port, std::string& error) {
  const std::optional<ServerEndpoint> endpoint = ParseEndpoint(request.serverEndpoint);
  if (!endpoint) {
    DebugLine(L"ORVO_SVC: bad_server_endpoint\n");
    error = "bad_server_endpoint";
    return false;
  }
  DebugLineFormat("ORVO_SVC: resolving host '%s', port=%u\n", endpoint->host.c_str(),
                  static_cast<unsigned>(endpoint->port));
  const platform::Ipv4Resolution resolution = facilities_.resolve_ipv4(endpoint->host);
  const std::optional<uint32_t> first =
      resolution.error == 0 && !resolution.addresses.empty()
          ? platform::ParseIpv4Literal(resolution.addresses.front())
          : std::nullopt;
  if (!first) {
    DebugLine(L"ORVO_SVC: resolve_failed\n");
    error = "resolve_failed";
    return false;
  }
  DebugLineFormat("ORVO_SVC: resolved %s:%u\n", resolution.addresses.front().c_str(),
                  static_cast<unsigned>(endpoint->port));
  server = platform::IpAddress::Ipv4(*first);
  port = endpoint->port;
  server_ipv4_ = server;
  server_ipv4_valid_ = true;
  server_ipv4_text_ = resolution.addresses.front();
  return true;
}

void Runtime::AddServerHostRoute(const platform::IpAddress& server) {
  platform::ForwardRow best;
  // Without a best route the timer's exclusion-route upkeep adds the host route later.
  if (facilities_.ip_helper->GetBestRoute(server, best) != platform::kIpHelperOk) {
    return;
  }
  platform::ForwardRow route;
  route.luid = best.luid;
  route.next_hop = best.next_hop;
  route.destination = server;
  route.prefix_length = 32;
  route.metric = best.metric;
  route.protocol = kRouteProtocol;
  if (facilities_.ip_helper->CreateForwardEntry(route) == platform::kIpHelperOk) {
    routes_.push_back(route);
    DebugLine(L"ORVO_SVC: added host route for server /32\n");
  } else {
    DebugLine(L"ORVO_SVC: failed to add host route for server /32\n");
  }
}

void Runtime::AddAllowedNetworkRoutes(const std::vector<std::string>& allowed_ips) {
  for (const std::string& text : allowed_ips) {
    const std::optional<Ipv4Network> network = ParseNetwork(text);
    if (!network) {
      continue;
    }
    platform::ForwardRow route;
    route.luid = luid_;
    route.destination = network->address;
    route.prefix_length = network->prefix_length;
    route.next_hop = platform::IpAddress::Ipv4(0);
    route.metric = kAllowedNetworkMetric;
    route.protocol = kRouteProtocol;
    if (facilities_.ip_helper->CreateForwardEntry(route) == platform::kIpHelperOk) {
      routes_.push_back(route);
    }
  }
}

bool Runtime::StartPacketThreads(const ConnectRequest& request, std::string& error) {
  tunnel_ = boringtun_.table.new_tunnel(request.privateKey.c_str(), request.serverPublicKey.c_str(),
                                        nullptr, kKeepAliveSeconds, 0);
  if (tunnel_ == nullptr) {
    socket_.reset();
    error = "wg_tunnel_failed";
    return false;
  }
  running_.store(true);
  platform::IpHelper& ip_helper = *facilities_.ip_helper;
  auto pump = std::make_unique<PacketPump>(PacketPumpParts{
      wintun_.table,
      session_,
      boringtun_.table,
      tunnel_,
      socket_,
      running_,
      [this, &ip_helper] {
        ExclusionRouteUpkeep(ip_helper, server_ipv4_, server_ipv4_valid_, luid_);
      },
      *facilities_.packet_sleeper,
      facilities_.start_thread,
  });
  const bool started = pump->Start();
  // The threads that did start run until the next disconnect, which joins them.
  threads_ = std::move(pump);
  if (!started) {
    DebugLine(L"ORVO_SVC: packet thread could not be started\n");
    error = "thread_start_failed";
    return false;
  }
  return true;
}

}  // namespace orvo_vpn_win_svc
