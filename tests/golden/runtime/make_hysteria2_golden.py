#!/usr/bin/env python3
# Writes hysteria2_connect.txt: the transcripts tests/unit/runtime/hysteria2_connect_test.cpp
# expects, built from the connect's documented lines and pauses (three connection attempts 2 s
# apart, three starts 1 s apart, a 500 ms liveness pause, ten TUN checks 200 ms apart, a 300 ms
# settle pause, 1 s before a TUN retry). Each "[Nms]" counts on its own clock: the connect's, the
# attempt loop's, or the TUN check's.
def at(ms, text): return f"ORVO_SVC: [{ms}ms] {text}\n"

START_ERR = "ERR_SINGBOX_START: sing-box exited with code 1"
TUN_NOT_UP = "ERR_TUN_NOT_UP: sing-box started but TUN 'OrvoVPN' not in UP state"
TIMEOUT = "ERR_SINGBOX_TIMEOUT: sing-box did not start within 60 seconds"
REFUSED = "ERR_SINGBOX_CREATE: Service already running"

def head(failed, error, state, status, record="  ", pauses="", cleanups=0, filters=0, child=0, queries=""):
    return (f"{'failed' if failed else 'up'} [{error}] {state} status {status}\nrecord {record} tor "
            f"{1 if 'tor' in record else 0} at {0 if failed else 1700000000}\npauses {pauses}\n"
            f"adapter clean-ups {cleanups}\nfilters {filters}\nchild left running {child}\n{queries}")

def prefix(server="203.0.113.7", resolved="203.0.113.7", tor=False, ipv6_fails=False, why=None):
    t = "TOR: " if tor else ""
    lines = at(0, "ConnectHysteria2Tor started" if tor else "ConnectHysteria2 started")
    lines += at(0, "WinTUN driver check passed") + at(0, "Blocking IPv6...")
    if ipv6_fails:
        lines += at(0, "WARNING: IPv6 block failed")
    lines += at(0, f"{t}Resolving domain: {server}")
    if why:
        lines += at(0, f"{t}DNS resolution failed: {why}") + at(0, f"{t}Continuing with original value: {server}")
    else:
        lines += at(0, f"{t}Resolved {server} -> {resolved}")
    return lines

UP_LOOP = (at(0, "Connection attempt 1/3") + at(0, "sing-box start attempt 1/3") + at(500, "sing-box running") +
           at(0, "Waiting for sing-box started signal...") +
           at(0, "sing-box reported started, verifying TUN interface...") +
           at(0, "TUN 'OrvoVPN' is UP (verify attempt 1/10)") + at(300, "TUN ready, routes settled"))

def three(period, attempt, retry):
    lines = ""
    for n in range(1, 4):
        s = (n - 1) * period
        lines += at(s, f"Connection attempt {n}/3") + at(s, "sing-box start attempt 1/3") + attempt(s)
        if n < 3:
            lines += retry(s)
    return lines

def tun_checks(lines_for_check, end_ms, error):
    return (at(0, "Waiting for sing-box started signal...") +
            at(0, "sing-box reported started, verifying TUN interface...") +
            "".join(lines_for_check(c) for c in range(10)) + at(end_ms, error))

# After the progress lines, the wrapper's readiness waits: each may last 60000 ms.
WAIT = "ORVO_SVC: Waiting for sing-box started signal (max 60000ms)...\n"
TIMED_OUT = "ORVO_SVC: Timeout waiting for started signal after 60000ms\n"

sections = {}
def up(name, record="203.0.113.7 203.0.113.7:443 hysteria2", queries="", **kw):
    sections[name] = head(False, "", "connected", 2, record, "500 300", 0, 1, 1, queries) + prefix(**kw) + UP_LOOP + WAIT

def failed(name, error, pauses, loop, cleanups=0, waits=""):
    sections[name] = head(True, error, "invalid", 5, pauses=pauses, cleanups=cleanups) + prefix() + loop + waits

up("Up")
sections["NoWintunDriver"] = head(True, "ERR_WINTUN_NOT_INSTALLED: WinTUN driver not installed. Please reinstall OrvoVPN.",
                                  "disconnected", 0) + at(0, "ConnectHysteria2 started") + at(
    0, "ERR_WINTUN_NOT_INSTALLED: WinTUN driver not installed. Please reinstall OrvoVPN.")
failed("ChildAlwaysExits", START_ERR, "1000 1000 2000 1000 1000 2000 1000 1000", three(
    4000, lambda s: at(s, START_ERR) + at(s, "Retrying in 1s...") + at(s + 1000, "sing-box start attempt 2/3") +
    at(s + 1000, START_ERR) + at(s + 1000, "Retrying in 1s...") + at(s + 2000, "sing-box start attempt 3/3") +
    at(s + 2000, START_ERR),
    lambda s: at(s + 2000, "sing-box failed, retrying connection...")))
failed("ChildDeadAfterHalfASecond", "ERR_SINGBOX_CRASH: sing-box exited unexpectedly",
       "500 1000 500 1000 500 2000 500 1000 500 1000 500 2000 500 1000 500 1000 500", three(
    5500, lambda s: at(s + 500, "sing-box crashed") + at(s + 500, "Retrying in 1s...") +
    at(s + 1500, "sing-box start attempt 2/3") + at(s + 2000, "sing-box crashed") + at(s + 2000, "Retrying in 1s...") +
    at(s + 3000, "sing-box start attempt 3/3") + at(s + 3500, "sing-box crashed"),
    lambda s: at(s + 3500, "sing-box failed, retrying connection...")))
# The first tunnel's child is left alone: neither connect looks at the state it finds.
# The record of the first tunnel stays.
sections["SecondConnectWhileUp"] = head(True, REFUSED, "invalid", 5, "203.0.113.7 203.0.113.7:443 hysteria2", "2000 2000", child=1).replace("at 0", "at 1700000000") + prefix() + three(
    2000, lambda s: at(s, REFUSED), lambda s: at(s, "sing-box failed, retrying connection..."))
failed("ChildNeverReady", TIMEOUT, "500 1000 500 1000 500", three(
    1500, lambda s: at(s + 500, "sing-box running") + at(0, "Waiting for sing-box started signal...") + at(0, TIMEOUT),
    lambda s: at(s + 500, "TUN not ready, cleaning up and retrying...")), 2, (WAIT + TIMED_OUT) * 3)
CRASHED = "ERR_SINGBOX_CRASH: sing-box exited during startup"
failed("ChildDiesBeforeReady", CRASHED, "500 1000 500 1000 500", three(
    1500, lambda s: at(s + 500, "sing-box running") + at(0, "Waiting for sing-box started signal...") + at(0, CRASHED),
    lambda s: at(s + 500, "TUN not ready, cleaning up and retrying...")), 2, WAIT * 3)
AFTER = "ERR_SINGBOX_CRASH: sing-box exited after reporting started"
failed("ChildDiesDuringTunCheck", AFTER, "500 200 1000 500 200 1000 500 200", three(
    1700, lambda s: at(s + 500, "sing-box running") + at(0, "Waiting for sing-box started signal...") +
    at(0, "sing-box reported started, verifying TUN interface...") + at(200, AFTER),
    lambda s: at(s + 700, "TUN not ready, cleaning up and retrying...")), 2, WAIT * 3)
CHECKS = " ".join(["200"] * 10)
TUN_PAUSES = f"500 {CHECKS} 1000 500 {CHECKS} 1000 500 {CHECKS}"
def tun_failure(name, check_line):
    failed(name, TUN_NOT_UP, TUN_PAUSES, three(
        3500, lambda s: at(s + 500, "sing-box running") + tun_checks(check_line, 2000, TUN_NOT_UP),
        lambda s: at(s + 2500, "TUN not ready, cleaning up and retrying...")), 2, WAIT * 3)
tun_failure("TunStaysDown", lambda c: at(c * 200, "TUN 'OrvoVPN' found but OperStatus=2, waiting..."))
tun_failure("InterfaceTableUnreadable", lambda c: at(c * 200, f"GetIfTable2 failed, attempt {c + 1}/10"))
tun_failure("LookAlikeAliasesOnly", lambda c: "")
up("FailedIpv6Block", ipv6_fails=True)
sections["FailedIpv6Block"] = sections["FailedIpv6Block"].replace("filters 1", "filters 0")
up("ResolvedName", "198.51.100.20 198.51.100.20:443 hysteria2", "resolve hy.example.net\n",
   server="hy.example.net", resolved="198.51.100.20")
up("UnresolvableName", "nowhere.invalid nowhere.invalid:443 hysteria2", "resolve nowhere.invalid\n",
   server="nowhere.invalid", why="DNS resolution failed for nowhere.invalid: 11001")
up("NameWithoutAddresses", "empty.example empty.example:443 hysteria2", "resolve empty.example\n",
   server="empty.example", why="No addresses found for empty.example")
# Over Tor the record names port 8443, or the request's port when obfuscated.
up("Tor", "203.0.113.7 203.0.113.7:8443 hysteria2_tor", tor=True)
up("TorObfuscated", "203.0.113.7 203.0.113.7:9443 hysteria2_tor", tor=True)

NOT_INIT = "ERR_SINGBOX_NOT_INIT: sing-box.exe not found in service directory"
sections["NoSingbox"] = head(True, NOT_INIT, "disconnected", 0) + at(0, "ConnectHysteria2 started") + at(0, NOT_INIT)
# With the kill switch on (21 filters, the LAN allowed by default), the refresh before the connect
# reports up adds the server's permit and the TUN interface's two to the IPv6 block; a refresh
# that cannot commit leaves the kill switch as it was.
up("KillSwitch")
sections["KillSwitch"] = sections["KillSwitch"].replace("filters 1", "filters 25")
up("KillSwitchRefreshCannotCommit")
sections["KillSwitchRefreshCannotCommit"] = sections["KillSwitchRefreshCannotCommit"].replace("filters 1", "filters 22")

with open("hysteria2_connect.txt", "w") as out:
    out.write("".join(f"== {name}\n{text}" for name, text in sections.items()))
