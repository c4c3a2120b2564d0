#!/usr/bin/env bash
# Runs the UI benchmark in the test sandbox and tells it which processes are
# the sandbox's X server and wineserver, so that it can count their CPU time
# beside the launcher's.   Usage: bench/ui/run.sh [BUILD_DIR] [STAGE...]
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
build=$(cd "${1:-$root/build}" && pwd)
shift || true
if [ -z "${LAUNCHER_IN_NETNS:-}" ]; then
  cmake --build "$build" --target ui_bench -j2 >/dev/null
  exec "$root/scripts/sandbox.sh" "$build" "$root/bench/ui/run.sh" "$build" "$@"
fi
# This sandbox's own: the X server of its display, the wineserver of its prefix.
for pid in $(pgrep -x Xvfb); do
  tr '\0' ' ' <"/proc/$pid/cmdline" | grep -q "^Xvfb $DISPLAY " && export UI_BENCH_XSERVER_PID=$pid
done
for pid in $(pgrep -x "wineserver|wineserver64"); do
  tr '\0' '\n' <"/proc/$pid/environ" 2>/dev/null | grep -qx "WINEPREFIX=$WINEPREFIX" &&
    export UI_BENCH_WINESERVER_PID=$pid
done
echo "== ui benchmark: $(date -u +%FT%TZ), $(nproc) cores, $(wine --version), $(basename "$WINELOADER") build, load $(cut -d' ' -f1-3 /proc/loadavg)"
"$build/wine-run.sh" "$build/bench/ui_bench.exe" "$@"
