#!/usr/bin/env bash
# Installs, with apt-get, whatever the build and the checks need and this machine lacks.
# Usage: scripts/install-deps.sh [build|all]   (build: what the native build needs; all: every
# check, the Windows cross build and Wine included)
set -euo pipefail
want=${1:-all}
packages=(cmake ninja-build g++ pkg-config nlohmann-json3-dev libnftables-dev libgtest-dev libgmock-dev
          googletest)
if [ "$want" = all ]; then
  packages+=(clang libclang-rt-14-dev mingw-w64 g++-mingw-w64-x86-64-posix wine wine64
             iproute2 nftables socat iperf3 procps util-linux)
fi
missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' ||
    missing+=("$package")
done
if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi
echo "install-deps: installing ${missing[*]}"
sudo_cmd=()
[ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
export DEBIAN_FRONTEND=noninteractive
"${sudo_cmd[@]}" apt-get update -q
"${sudo_cmd[@]}" apt-get install -y -q "${missing[@]}"
