#!/usr/bin/env bash
# Builds the launcher and runs every test under Wine and Xvfb in a private
# network namespace. Extra arguments go to ctest (for example -R updater).
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build="${LAUNCHER_BUILD_DIR:-$root/build}"

LAUNCHER_BUILD_DIR="$build" "$root/scripts/build.sh"
"$root/scripts/sandbox.sh" "$build" ctest --test-dir "$build" --output-on-failure "$@"
