#!/usr/bin/env bash
# Creates a Wine prefix once (WINEARCH from the environment, 32-bit by
# default); safe to call again.
set -euo pipefail
prefix=$1
export WINEPREFIX="$prefix" WINEARCH="${WINEARCH:-win32}" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
if [ ! -f "$prefix/system.reg" ]; then
  mkdir -p "$(dirname "$prefix")"
  wineboot --init >/dev/null 2>&1 || true
  wineserver -w
fi
