#!/usr/bin/env bash
# Builds the service natively and starts it in console mode, in the foreground (Ctrl+C ends it).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh build
cmake --preset native >/dev/null
cmake --build --preset native --target orvo-vpn-svc orvo-vpn-ctl
if [ "$(id -u)" -ne 0 ] && [ -z "${ORVO_PIPE_DIR:-}" ]; then
  # /run/orvo-vpn belongs to root; an unprivileged developer gets a directory of their own.
  export ORVO_PIPE_DIR="${XDG_RUNTIME_DIR:-/tmp}/orvo-vpn-$(id -u)"
fi
cat >&2 <<MSG
orvo-vpn-svc is starting in console mode; its log follows. From another terminal:
  ${ORVO_PIPE_DIR:+ORVO_PIPE_DIR=$ORVO_PIPE_DIR }build/native/orvo-vpn-ctl raw status
  ${ORVO_PIPE_DIR:+ORVO_PIPE_DIR=$ORVO_PIPE_DIR }build/native/orvo-vpn-ctl --pretty status
  build/native/orvo-vpn-ctl --help
MSG
exec build/native/orvo-vpn-svc --console
