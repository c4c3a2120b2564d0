#!/usr/bin/env bash
# Runs a test program with the test patch server on 127.0.0.1:80 serving a
# fresh folder, whose path the program finds in UPDATER_TEST_WWW.
# Usage: run-with-server.sh WWW_DIR COMMAND [ARGS...]
set -uo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
www=$1
shift
rm -rf "$www" && mkdir -p "$www"
ready="$www/requests.log"
python3 "$here/../../scripts/patch_server.py" --root "$www" --prefix / --log "$ready" &
server=$!
trap 'kill "$server" 2>/dev/null; wait "$server" 2>/dev/null' EXIT
for _ in $(seq 1 100); do
  [ -e "$ready" ] || ! kill -0 "$server" 2>/dev/null && break
  sleep 0.1
done
[ -e "$ready" ] || { echo "patch server did not start" >&2; exit 1; }
export UPDATER_TEST_WWW="$www"
"$@"
