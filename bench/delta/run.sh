#!/usr/bin/env bash
# Delta updates against Debian's zsync, side by side in one run, over nginx in
# the test sandbox: bytes the server sent and wall time for the update of one
# pack, the launcher's no-change check of it as the floor, a pack replaced
# completely, and the peak working set.
# Usage: bench/delta/run.sh [BUILD_DIR] [SIZE_MIB | bytes:SIZE_MIB | padding:SIZE_MIB ...]
#   (default 256 bytes:256 1024 padding:256);
# needs about 6 GB of free disk and 15-25 min
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
build=$(cd "${1:-$root/build}" && pwd)
if [ -z "${LAUNCHER_IN_NETNS:-}" ]; then
  if ! command -v zsync >/dev/null || ! command -v zsyncmake >/dev/null; then
    sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq zsync >/dev/null
  fi
  cmake --build "$build" --target updater_pass_runner -j"$(nproc)" >/dev/null
  exec "$root/scripts/sandbox.sh" "$build" "$root/bench/delta/run.sh" "$@"
fi
shift || true
exec python3 "$root/bench/delta/delta_bench.py" "$build" "$@"
