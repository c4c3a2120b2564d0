#!/usr/bin/env bash
# Runs the updater benchmark in the test sandbox with the test patch server.
# Usage: bench/updater/run.sh [BUILD_DIR]   (needs about 3.5 GB of free disk)
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
build=$(cd "${1:-$root/build}" && pwd)
cmake --build "$build" --target updater_bench block_bench -j2 >/dev/null
if [ -z "${LAUNCHER_IN_NETNS:-}" ]; then
  exec "$root/scripts/sandbox.sh" "$build" "$root/tests/updater/run-with-server.sh" \
    "$build/bench-www" "$root/bench/updater/run.sh" "$build"
fi
export BENCH_WORK="$build/bench-work"
rm -rf "$BENCH_WORK" && mkdir -p "$BENCH_WORK"
trap 'rm -rf "$BENCH_WORK" "$UPDATER_TEST_WWW"/*/' EXIT
run() { "$build/wine-run.sh" "$build/bench/updater_bench.exe" "$@"; }
stages=${BENCH_STAGES:-hash pass download small cut peak far records}
want() { [[ " $stages " == *" $1 "* ]]; }

echo "== updater benchmark: $(date -u +%FT%TZ), $(nproc) cores, Wine $(wine --version)"
if want hash; then
out=$(run hash)
echo "$out" | grep -v RAW_CRYPTOAPI
raw=$(echo "$out" | sed -n 's/^RAW_CRYPTOAPI_SECONDS //p' | tr -d '\r')
native=$(python3 - "$BENCH_WORK/hash-256MiB.bin" <<'PY'
import subprocess, sys, time
best = 1e9
for _ in range(3):
    t = time.perf_counter()
    subprocess.run(["sha256sum", sys.argv[1]], check=True, stdout=subprocess.DEVNULL)
    best = min(best, time.perf_counter() - t)
print("%.6f" % best)
PY
)
python3 -c "import sys; r, n = float(sys.argv[1]), float(sys.argv[2]); print('%-34s %8.3f s  vs %-26s %8.3f s  ratio %.3f (for reference)' % ('native sha256sum, 256 MiB', n, 'raw CryptoAPI loop', r, n / r))" "$raw" "$native"
rm -f "$BENCH_WORK/hash-256MiB.bin"
fi
if want pass; then run pass; rm -rf "$BENCH_WORK/nochange" "$UPDATER_TEST_WWW/nochange"; fi
if want download; then run download; rm -rf "$BENCH_WORK/download" "$UPDATER_TEST_WWW/dl"; fi
if want small; then run small; rm -rf "$BENCH_WORK/small" "$BENCH_WORK/small-raw" "$UPDATER_TEST_WWW/small"; fi
if want cut; then run cut; rm -rf "$BENCH_WORK/cut" "$UPDATER_TEST_WWW/cut"; fi
if want peak; then run peak; fi
if want far; then run far; rm -rf "$BENCH_WORK/far" "$UPDATER_TEST_WWW/far" "$UPDATER_TEST_WWW/far-big.bin"; fi
if want records; then
  run records
  # Peak memory of a pass over 20,000 current files in a process of its own,
  # with their records and with them ignored (--verify).
  for flag in "" --verify; do
    peak=$(cd "$BENCH_WORK/records-small" && "$build/wine-run.sh" "$build/tests/updater_pass_runner.exe" \
      127.0.0.1 /records-small/ --peak $flag | tr -d '\r')
    echo "$peak" | awk -v f="${flag:-with records}" '/^WORKING_SET_BEFORE/ {
      printf "peak working set, 20000 files, %s: %.1f MiB over %.1f MiB idle%s\n", f, ($4 - $2) / 1048576,
             $2 / 1048576, f == "with records" ? " (target <= 8)" : "" }'
  done
  rm -rf "$BENCH_WORK/records-big" "$BENCH_WORK/records-small" "$UPDATER_TEST_WWW/records-big" "$UPDATER_TEST_WWW/records-small"
fi
# Not by default: BENCH_STAGES=blocks (about 2 min).
if want blocks; then "$build/wine-run.sh" "$build/bench/block_bench.exe" "Z:${BENCH_WORK//\//\\}"; fi
