#!/usr/bin/env bash
# Patches through a CDN in the test sandbox: bytes on the wire and wall time of a fresh
# install, plain layout against objects; release day through a caching edge (nginx).
# Usage: bench/cdn/run.sh [BUILD_DIR] [SIZE_MIB [LAUNCHERS]]   (default 300 MiB and 20;
# needs about 3 GB of free disk and 10-15 min)
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
build=$(cd "${1:-$root/build}" && pwd)
if [ -z "${LAUNCHER_IN_NETNS:-}" ]; then
  cmake --build "$build" --target Launcher updater_pass_runner -j2 >/dev/null
  exec "$root/scripts/sandbox.sh" "$build" "$root/bench/cdn/run.sh" "$@"
fi
shift || true
exec python3 "$root/bench/cdn/cdn_bench.py" "$build" "$@"
