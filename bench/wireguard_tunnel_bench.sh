#!/usr/bin/env bash
# Throughput and latency through the service's WireGuard tunnel, beside a baseline measured in
# the same run: socat carrying TUN packets over UDP between the same two network namespaces (the
# same carrying job with no protocol work). Reports ratios against the baseline, the median ping
# added over it, the service's CPU time per gigabyte carried and its CPU use while connected and
# idle. Needs root (network namespaces, TUN devices); builds what it runs.
#
# Environment: SECONDS_PER_RUN (default 5) for each iperf3 run, PINGS (default 200).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
seconds=${SECONDS_PER_RUN:-5}
pings=${PINGS:-200}

if [ "$(id -u)" -ne 0 ]; then
  echo "wireguard_tunnel_bench: needs root for network namespaces and TUN devices" >&2
  exit 1
fi
scripts/install-deps.sh all
for tool in iperf3 socat ping; do
  command -v "$tool" >/dev/null || apt-get install -y -q iperf3 socat iputils-ping >/dev/null
done
cmake --preset native >/dev/null
cmake --build --preset native --target orvo-vpn-svc orvo-vpn-ctl wintun wireguard-stand-in \
  wireguard-stand-in-server >/dev/null

build=$root/build/native
stand_in_dir=$build/test-bin/wireguard-stand-in
client=orvo-bench-client
server=orvo-bench-server
work=$(mktemp -d)

# Everything this script started runs in one of its two namespaces (the iperf3 servers detach,
# and a background shell function leaves its child behind), so the namespaces' own process
# lists say what to end.
cleanup() {
  local ns
  for ns in "$client" "$server"; do
    ip netns pids "$ns" 2>/dev/null | xargs -r kill 2>/dev/null || true
  done
  wait 2>/dev/null || true
  ip netns del "$client" 2>/dev/null || true
  ip netns del "$server" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

in_client() { ip netns exec "$client" "$@"; }
in_server() { ip netns exec "$server" "$@"; }

ip netns add "$client"
ip netns add "$server"
ip link add veth-bench-c netns "$client" type veth peer name veth-bench-s netns "$server"
in_client sh -c 'ip link set lo up && ip addr add 192.168.78.1/24 dev veth-bench-c && ip link set veth-bench-c up'
in_server sh -c 'ip link set lo up && ip addr add 192.168.78.2/24 dev veth-bench-s && ip link set veth-bench-s up'

# Seconds of CPU (user and system) a process has used so far.
cpu_seconds() {
  awk -v hz="$(getconf CLK_TCK)" '{ printf "%.3f", ($14 + $15) / hz }' "/proc/$1/stat"
}

# A field of the received sum in iperf3's JSON report on standard input.
received() {
  awk -F'[:,]' -v field="\"$1\"" '/"sum_received"/ { found = 1 }
    found && $1 ~ field { print $2; exit }'
}

# Median round trip in milliseconds of `pings` echo requests to `address`.
median_ping() {
  in_client ping -q -n -c "$pings" -i 0.01 "$1" >/dev/null
  in_client ping -n -c "$pings" -i 0.01 "$1" | sed -n 's/.*time=\([0-9.]*\) ms/\1/p' | sort -n |
    awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'
}

# CPU seconds of every process whose command line matches `pattern`.
cpu_of() {
  local total=0 pid
  for pid in $(pgrep -f "$1"); do total=$(awk -v a="$total" -v b="$(cpu_seconds "$pid")" 'BEGIN { print a + b }'); done
  echo "$total"
}

# The baseline: socat at both ends, TUN devices of the same MTU, UDP between them.
in_server socat TUN:10.9.1.1/24,tun-name=socat-s,iff-up UDP-LISTEN:51821,reuseaddr &
# Runs a command until it succeeds, for at most 5 seconds.
retry() { for _ in $(seq 100); do "$@" && return 0; sleep 0.05; done; return 1; }
retry in_server ip link show socat-s >/dev/null 2>&1
in_client socat TUN:10.9.1.2/24,tun-name=socat-c,iff-up UDP:192.168.78.2:51821 &
retry in_client ip link show socat-c >/dev/null 2>&1
in_client ip link set socat-c mtu 1380
in_server ip link set socat-s mtu 1380
in_server iperf3 -s -D -B 10.9.1.1 -p 5201
# socat's UDP listener learns its peer from the first datagram.
in_client ping -q -c 3 -W 1 10.9.1.1 >/dev/null || true

# The service: console mode in the client namespace, the stand-in server in the other.
in_server "$stand_in_dir/wireguard-stand-in-server" --tun wgs0 --address 10.9.0.1/24 \
  --port 51820 --mtu 1380 >"$work/server.log" 2>&1 &
mkdir -m 700 "$work/pipe"
ORVO_PIPE_DIR=$work/pipe LD_LIBRARY_PATH=$stand_in_dir \
  ip netns exec "$client" "$build/orvo-vpn-svc" --console >"$work/service.log" 2>&1 &
service=$!
ctl() { ORVO_PIPE_DIR=$work/pipe "$build/orvo-vpn-ctl" raw "$1"; }
retry grep -q 'IPC running on pipe' "$work/service.log"
connect='connect:{"serverEndpoint":"192.168.78.2:51820",'
connect+='"serverPublicKey":"xTIBA5rboUvnH4htodjb6e697QjLERt1NAB4mZqp8Dg=",'
connect+='"privateKey":"yAnz5TF+lXXJte14tji3zlMNq+hd2rYUIgJBgB3fBmk=",'
connect+='"assignedIp":"10.9.0.2","dnsServers":[],"allowedIps":["10.9.0.0/24"],"mtu":1380}'
[ "$(ctl "$connect")" = ok ] || { echo "the tunnel did not come up" >&2; cat "$work/service.log" >&2; exit 1; }
in_server ip route replace 10.9.0.0/24 dev wgs0
in_server iperf3 -s -D -B 10.9.0.1 -p 5202
retry in_client ping -q -c 1 -W 1 10.9.0.1 >/dev/null

# Idle: connected, nothing carried.
idle_before=$(cpu_seconds "$service")
sleep 5
idle_after=$(cpu_seconds "$service")

socat_before=$(cpu_of 'socat TUN')
baseline_json=$(in_client iperf3 -c 10.9.1.1 -p 5201 -t "$seconds" -J)
socat_after=$(cpu_of 'socat TUN')
baseline_bps=$(received bits_per_second <<<"$baseline_json")
baseline_bytes=$(received bytes <<<"$baseline_json")
busy_before=$(cpu_seconds "$service")
tunnel_json=$(in_client iperf3 -c 10.9.0.1 -p 5202 -t "$seconds" -J)
busy_after=$(cpu_seconds "$service")
tunnel_bps=$(received bits_per_second <<<"$tunnel_json")
tunnel_bytes=$(received bytes <<<"$tunnel_json")

baseline_ping=$(median_ping 10.9.1.1)
tunnel_ping=$(median_ping 10.9.0.1)

ctl disconnect >/dev/null

awk -v tb="$tunnel_bps" -v bb="$baseline_bps" -v tp="$tunnel_ping" -v bp="$baseline_ping" \
    -v bytes="$tunnel_bytes" -v b0="$busy_before" -v b1="$busy_after" \
    -v i0="$idle_before" -v i1="$idle_after" -v s0="$socat_before" -v s1="$socat_after" \
    -v sbytes="$baseline_bytes" 'BEGIN {
  printf "TCP throughput: tunnel %.0f Mbit/s, socat %.0f Mbit/s, ratio %.2f\n", tb / 1e6, bb / 1e6, tb / bb
  printf "median ping: tunnel %.3f ms, socat %.3f ms, added %.3f ms\n", tp, bp, tp - bp
  printf "CPU per GB carried: service %.2f s, the two socat processes %.2f s\n", (b1 - b0) / (bytes / 1e9), (s1 - s0) / (sbytes / 1e9)
  printf "service CPU while connected and idle: %.2f%% of one core\n", (i1 - i0) / 5 * 100
}'
