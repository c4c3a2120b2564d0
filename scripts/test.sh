#!/usr/bin/env bash
# Builds the launcher and runs every test under Wine and Xvfb in a private
# network namespace. Extra arguments go to ctest (for example -R updater).
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build="${LAUNCHER_BUILD_DIR:-$root/build}"

"$root/scripts/setup.sh"
cmake -S "$root" -B "$build" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-mingw-i686.cmake" \
  -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j"$(nproc)"
"$root/scripts/sandbox.sh" "$build" ctest --test-dir "$build" --output-on-failure "$@"
