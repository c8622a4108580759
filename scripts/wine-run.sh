#!/usr/bin/env bash
# Runs a Windows executable under Wine in a throwaway prefix shared by one build tree.
# WINEPREFIX may be set by the caller; otherwise one lives under /tmp for this user.
set -euo pipefail
export WINEDEBUG=${WINEDEBUG:--all}
export WINEPREFIX=${WINEPREFIX:-/tmp/orvo-wine-prefix-$(id -u)}
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  mkdir -p "$WINEPREFIX"
  # Two tests may start together on a fresh prefix; only one of them boots it.
  ( flock 9; [ -f "$WINEPREFIX/system.reg" ] || wineboot --init >/dev/null 2>&1 ) 9>"$WINEPREFIX.lock"
fi
# A Wine helper process (a headless conhost.exe) can outlive the program it served, and every
# Wine process holds the Unix descriptors it was started with: the caller's standard output
# would then stay open and a ctest run would wait for it until its time-out. The program has
# ended, so end the prefix's Wine session with it.
status=0
wine "$@" || status=$?
wineserver -k 2>/dev/null || true
exit "$status"
