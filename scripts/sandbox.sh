#!/usr/bin/env bash
# Runs a command inside a private network namespace (only loopback, so a
# test server may listen on 127.0.0.1:80 and nothing leaves the machine) and
# mount namespace (build/tests/small-disk is a 2 MiB disk there),
# with a private Xvfb display (or, with SANDBOX_USE_DISPLAY=1, the user's
# own) and one wineserver kept up for the whole run.
# Usage: scripts/sandbox.sh BUILD_DIR COMMAND [ARGS...]
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
build=$(cd "$1" && pwd)
shift

if [ -z "${LAUNCHER_IN_NETNS:-}" ]; then
  exec env LAUNCHER_IN_NETNS=1 unshare -rnm "$here/sandbox.sh" "$build" "$@"
fi
if [ -z "${LAUNCHER_IN_XVFB:-}" ]; then
  ip link set lo up
  # A 2 MiB disk of its own, private to this namespace, for the tests of a
  # disk that fills up during a download.
  mkdir -p "$build/tests/small-disk"
  mount -t tmpfs -o size=2m tmpfs "$build/tests/small-disk"
  # The demo may show the launcher on the user's own display.
  if [ -n "${SANDBOX_USE_DISPLAY:-}" ] && [ -n "${DISPLAY:-}" ]; then
    export LAUNCHER_IN_XVFB=1
    exec "$here/sandbox.sh" "$build" "$@"
  fi
  exec env LAUNCHER_IN_XVFB=1 xvfb-run -a -s "-screen 0 1920x1080x24 -nolisten tcp" \
    "$here/sandbox.sh" "$build" "$@"
fi

# WINEARCH and the wine commands that match the build's architecture.
. "$build/wine-env.sh"
export WINEPREFIX="$build/wineprefix" WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
"$here/wine-prefix.sh" "$WINEPREFIX"
wineserver -p
status=0
"$@" || status=$?
wineserver -k 2>/dev/null || true
exit "$status"
