#!/usr/bin/env bash
# Creates a 32-bit Wine prefix once; safe to call again.
set -euo pipefail
prefix=$1
export WINEPREFIX="$prefix" WINEARCH=win32 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
if [ ! -f "$prefix/system.reg" ]; then
  mkdir -p "$(dirname "$prefix")"
  wineboot --init >/dev/null 2>&1 || true
  wineserver -w
fi
