#!/usr/bin/env bash
# Runs a Windows executable under Wine in a fresh prefix of its own, removed when the run ends.
# A run killed part-way can leave an installed service or registry keys behind; in a prefix of
# its own they never reach a later run. The prefixes live in ORVO_WINE_PREFIX_ROOT (default
# /tmp/orvo-wine-<uid>); a caller's WINEPREFIX is not used.
set -euo pipefail
export WINEDEBUG=${WINEDEBUG:--all}
# The system-library stand-ins (tools/stand-ins/) replace Wine's fwpuclnt, iphlpapi and setupapi
# for a program that has them beside it; for any other program the override finds no native DLL
# and Wine's builtin one is loaded as before.
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=;fwpuclnt,iphlpapi,setupapi=n,b}
root=${ORVO_WINE_PREFIX_ROOT:-/tmp/orvo-wine-$(id -u)}
mkdir -p "$root"

# Every run holds the lock beside its prefix (descriptor 8, which no Wine process inherits) for
# as long as it lives, so a prefix whose lock is free was left by a run that was killed outright:
# its Wine session is ended and the prefix removed. Sweeping and making a prefix both happen
# under the root's lock, so a new prefix is locked before any sweep can see it.
exec 9>"$root/.lock"
flock 9
for lock in "$root"/run-*.lock; do
  if [ -e "$lock" ] && flock -n "$lock" true; then
    WINEPREFIX=${lock%.lock} wineserver -k 2>/dev/null || true
    rm -rf "${lock%.lock}" "$lock"
  fi
done

# A booted prefix, made once per Wine version and never run in, is copied for each run: a copy
# takes about a second where a boot takes five or more. It is booted in a session that then ends,
# as the service manager of the session that booted a prefix does not find services created in
# it ("net start" answers "Could not get handle to service").
template=$root/template-$(wine --version | tr -c 'A-Za-z0-9.\n-' _)
if [ ! -f "$template/system.reg" ]; then
  rm -rf "$template.new"
  mkdir "$template.new"
  export WINEPREFIX=$template.new
  wineboot --init >/dev/null 2>&1 9>&-
  wineserver -w
  mv "$template.new" "$template"
fi
# The program runs as a child of wine-wait.exe, which exits with the program's own exit code
# once it has ended: the exit status of a Unix `wine` process is not always that code (a program
# that crashed was seen to end with 0). Built once for each version of its source.
waiter=$root/wine-wait-$(sha1sum <"$(dirname "$0")/wine-wait.c" | cut -c1-12).exe
if [ ! -f "$waiter" ]; then
  x86_64-w64-mingw32-gcc -municode -O2 -Wall -Werror -static -o "$waiter.new" \
    "$(dirname "$0")/wine-wait.c" && mv "$waiter.new" "$waiter"
fi
WINEPREFIX=$(mktemp -d "$root/run-XXXXXX")
export WINEPREFIX
exec 8>"$WINEPREFIX.lock"
flock 8
exec 9>&-

# A Wine helper process (a headless conhost.exe) can outlive the program it served, and every
# Wine process holds the Unix descriptors it was started with: the caller's standard output
# would then stay open until ctest's time-out. So the run ends its prefix's Wine session, here
# or when it is stopped by a signal, before the prefix goes.
finish() {
  wineserver -k 2>/dev/null || true
  wineserver -w 2>/dev/null || true
  rm -rf "$WINEPREFIX" "$WINEPREFIX.lock"
}
trap finish EXIT
trap 'exit 130' INT
trap 'exit 143' TERM HUP
cp -a "$template/." "$WINEPREFIX/"
# The stand-ins forward what Wine does implement to renamed copies of Wine's own DLLs.
system32=$WINEPREFIX/drive_c/windows/system32
cp "$system32/iphlpapi.dll" "$system32/wineiphl.dll"
cp "$system32/setupapi.dll" "$system32/winesetu.dll"

# In the background, so a signal reaches the trap at once; standard input stays the caller's. An
# absolute Unix path is named on Wine's Z: drive, where the Windows child finds it.
program=$1
shift
[[ $program == /* ]] && program=Z:$program
status=0
wine "$waiter" "$program" "$@" 8>&- <&0 &
wait $! || status=$?
exit "$status"
