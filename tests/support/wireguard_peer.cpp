#include "support/wireguard_peer.h"

#include <chrono>
#include <string>

#include "platform/text_encoding.h"
#include "support/network_namespace.h"
#include "support/poll.h"
#include "support/tunnel_libraries.h"

namespace orvo_test {

std::string WireGuardPeer::LegacyConfiguration() {
  return std::string("{\"serverEndpoint\":\"") + kServerAddress + ":" + std::to_string(kPort) +
         "\",\"serverPublicKey\":\"" + kServerKey + "\",\"privateKey\":\"" + kClientKey +
         "\",\"assignedIp\":\"10.9.0.2\",\"dnsServers\":[],\"allowedIps\":[\"10.9.0.0/24\"],"
         "\"mtu\":1380}";
}

bool WireGuardPeer::Start(std::string& why) {
  // The shell names its process id, which the server keeps and the veth pair's far end needs.
  const std::string command = "echo $$; exec unshare -n " + WireGuardStandInServerPath() +
                              " --tun wgs0 --address 10.9.0.1/24 --port " + std::to_string(kPort);
  if (!server_.Start(L"\"/bin/sh\" -c \"" + orvo_vpn_win_svc::Utf8ToWide(command) + L"\"", L"") ||
      !server_.WaitForOutput("ready", std::chrono::seconds(10))) {
    why = "the stand-in server did not start: " + server_.Output();
    return false;
  }
  const std::string pid = std::to_string(std::stoi(server_.Output()));
  if (RunShell("ip link add veth-client type veth peer name veth-server netns " + pid +
               " && ip addr add " + kClientAddress + "/24 dev veth-client" +
               " && ip link set veth-client up") != 0 ||
      RunShell("nsenter -t " + pid + " -n sh -c 'ip link set lo up && ip addr add " +
               kServerAddress + "/24 dev veth-server && ip link set veth-server up'") != 0) {
    why = "the veth pair could not be set up";
    return false;
  }
  // The kernel adds the link-local address's route only once duplicate address detection is
  // over; waiting for it keeps that late route out of what the tests count as theirs.
  if (!PollUntil([] { return ShellOutput("ip -6 addr show dev veth-client tentative").empty(); },
                 std::chrono::seconds(10))) {
    why = "veth-client's IPv6 link-local address stayed tentative";
    return false;
  }
  return true;
}

}  // namespace orvo_test
