#!/usr/bin/env bash
# The launcher's main job on a built-in demo: builds everything, then runs
# Launcher.exe under Wine in a demo game folder against a demo patch server
# on 127.0.0.1:80 (inside a private network namespace).
# With a display (DISPLAY set) the launcher opens there for you to use;
# without one it runs under Xvfb and the demo drives it, saving screenshots.
# Arguments go to scripts/demo.py (--fresh starts from a new demo folder).
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build="${LAUNCHER_BUILD_DIR:-$root/build}"

LAUNCHER_BUILD_DIR="$build" "$root/scripts/build.sh"

mode=()
[ -n "${DISPLAY:-}" ] && mode=(--interactive)
SANDBOX_USE_DISPLAY=1 exec "$root/scripts/sandbox.sh" "$build" \
  python3 "$root/scripts/demo.py" --build "$build" "${mode[@]}" "$@"
