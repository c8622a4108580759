#pragma once

#include "platform/ip_helper.h"

namespace orvo_vpn_win_svc {

// Exclusion-route upkeep: keeps a /32 host route for the WireGuard server that leaves through an
// interface other than the tunnel adapter (`luid`), so datagrams to the server never enter the
// tunnel. The route it makes is the system's from then on: the runtime does not record it and a
// disconnect leaves it in place. Run once a second by the timer thread; its result is advisory
// (false: a table could not be read, or there is no default route outside the tunnel).
bool ExclusionRouteUpkeep(platform::IpHelper& ip_helper, const platform::IpAddress& server_ipv4,
                          bool server_ipv4_valid, platform::InterfaceLuid luid);

}  // namespace orvo_vpn_win_svc
