#!/usr/bin/env bash
# Installs what building, testing and running the launcher need on Debian 12.
# Installs only what is missing; safe to run again.
set -euo pipefail

packages=(
  cmake make python3 git
  mingw-w64 g++-mingw-w64-i686-posix gcc-mingw-w64-i686-posix binutils-mingw-w64-i686
  g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
  nlohmann-json3-dev googletest libz-mingw-w64-dev
  wine wine32:i386 wine64
  xvfb xauth x11-apps x11-utils imagemagick xdotool
  iproute2 util-linux nginx-light fonts-liberation python3-cryptography osslsigncode
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ "${#missing[@]}" -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
echo "Installing: ${missing[*]}"
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  $sudo dpkg --add-architecture i386
fi
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
# nginx-light's package starts a system-wide server; tests start their own.
if command -v systemctl >/dev/null 2>&1 && systemctl is-active --quiet nginx 2>/dev/null; then
  $sudo systemctl stop nginx || true
fi
