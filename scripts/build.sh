#!/usr/bin/env bash
# Installs what is missing, then configures and builds everything into the
# build folder (LAUNCHER_BUILD_DIR, default build/) with the test and demo
# settings: patch server http://127.0.0.1/patch/, web site
# https://www.example.com, and manifests signed with a test key made on first
# use in the build folder (build/keys/, never committed), and no code
# signing (its test signs a copy of the launcher). They are set on
# every run, so an operator's own settings never reach the tests; an operator
# builds in a folder of their own (see the README).
# Where this machine cannot run 32-bit Wine, the build folder holds a 64-bit
# build of the same code for the tests and the demo, and build/i686 the
# shipped 32-bit Launcher.exe.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build="${LAUNCHER_BUILD_DIR:-$root/build}"

"$root/scripts/setup.sh"
arch=$("$root/scripts/wine-arch.sh")
keys="$build/keys"
[ -f "$keys/manifest-key.pub.pem" ] || python3 "$root/tools/make-manifest" keygen "$keys" >/dev/null
settings=(-DCMAKE_BUILD_TYPE=Release -DLAUNCHER_PATCH_HOST=127.0.0.1 -DLAUNCHER_PATCH_URL= -ULAUNCHER_VERSION
          -DLAUNCHER_MANIFEST_PUBLIC_KEY="$keys/manifest-key.pub.pem"
          -DLAUNCHER_WEB_BASE_URL=https://www.example.com
          -DLAUNCHER_SIGN_PKCS12= -DLAUNCHER_SIGN_PASSWORD_FILE= -DLAUNCHER_SIGN_TIMESTAMP_URL=)

# configure DIR ARCH [ARGS...]: a folder made for another architecture starts over.
configure() {
  local dir=$1 toolchain="$root/cmake/toolchain-mingw-$2.cmake"
  shift 2
  if [ -f "$dir/CMakeCache.txt" ] && ! grep -q "^CMAKE_TOOLCHAIN_FILE:[A-Z]*=$toolchain$" "$dir/CMakeCache.txt"; then
    rm -rf "$dir/CMakeCache.txt" "$dir/CMakeFiles" "$dir/wineprefix"
  fi
  cmake -S "$root" -B "$dir" -DCMAKE_TOOLCHAIN_FILE="$toolchain" "${settings[@]}" "$@" >/dev/null
}

extra=()
if [ "$arch" != i686 ]; then
  configure "$build/i686" i686 -DLAUNCHER_BUILD_TESTS=OFF
  cmake --build "$build/i686" --target Launcher -j"$(nproc)"
  extra=(-DLAUNCHER_SHIPPED_EXE="$build/i686/Launcher.exe")
fi
configure "$build" "$arch" "${extra[@]}"
cmake --build "$build" -j"$(nproc)"
