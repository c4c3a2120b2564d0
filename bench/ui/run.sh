#!/usr/bin/env bash
# Runs the UI benchmarks in the test sandbox: frames, idle CPU (told which
# processes are the sandbox's X server and wineserver, to count their CPU
# time beside the launcher's) and start-up.
# Usage: bench/ui/run.sh [BUILD_DIR] [frames] [idle] [startup] [memory]   (all by default;
# memory needs about 3 GB of free disk). With UI_BENCH_DPI=192 (or another DPI) the
# prefix's LogPixels says so for the run: the launcher draws at 200 %.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
build=$(cd "${1:-$root/build}" && pwd)
shift || true
if [ -z "${LAUNCHER_IN_NETNS:-}" ]; then
  cmake --build "$build" --target Launcher ui_bench minimal_window startup_bench -j2 >/dev/null
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
desktop='HKCU\Control Panel\Desktop'
if [ -n "${UI_BENCH_DPI:-}" ]; then
  wine reg add "$desktop" /v LogPixels /t REG_DWORD /d "$UI_BENCH_DPI" /f >/dev/null 2>&1
  trap 'wine reg delete "$desktop" /v LogPixels /f >/dev/null 2>&1' EXIT
fi
echo "== ui benchmark: $(date -u +%FT%TZ), $(nproc) cores, $(wine --version), $(basename "$WINELOADER") build, ${UI_BENCH_DPI:-96} DPI, load $(cut -d' ' -f1-3 /proc/loadavg)"
stages=" ${*:-frames idle startup memory} "
ui=()
for stage in frames idle; do [[ "$stages" == *" $stage "* ]] && ui+=("$stage"); done
[ "${#ui[@]}" -gt 0 ] && "$build/wine-run.sh" "$build/bench/ui_bench.exe" "${ui[@]}"
if [[ "$stages" == *" startup "* ]]; then
  work="$build/bench-startup"
  rm -rf "$work" && mkdir -p "$work"
  win() { echo "Z:${1//\//\\}"; }
  "$build/wine-run.sh" "$build/bench/startup_bench.exe" "$(win "$build/Launcher.exe")" \
    "$(win "$build/bench/minimal_window.exe")" "$(win "$work")"
  rm -rf "$work"
fi
[[ "$stages" == *" memory "* ]] && python3 "$root/bench/ui/memory.py" "$build"
exit 0
