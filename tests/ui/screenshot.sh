#!/usr/bin/env bash
# Starts Launcher.exe on the test display (inside scripts/sandbox.sh), keeps a
# screenshot in <build>/screenshots, checks the main screen's pixels at their
# places, then closes the launcher with its own "X" button.
# Usage: screenshot.sh BUILD_DIR BACKGROUND_PNG
set -uo pipefail
build=$1 background=$2
shots="$build/screenshots"
root="$shots/screen-root.png"
shot="$shots/main-screen.png"  # the window alone, as the README shows it
mkdir -p "$shots"
rm -f "$shot" "$root"
: "${DISPLAY:?needs the test display}"
ox=510 oy=265  # the window is centred on the 1920 x 1080 screen
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

cd "$build"
wine "$build/Launcher.exe" >"$shots/launcher.log" 2>&1 &
launcher=$!
window=""
for _ in $(seq 1 100); do
  window=$(xdotool search --onlyvisible --name '^Zovra Launcher$' 2>/dev/null | head -n1)
  [ -n "$window" ] && break
  sleep 0.2
done
[ -n "$window" ] || { echo "FAIL: the launcher window never appeared"; kill "$launcher"; exit 1; }
sleep 2  # a few frames, and time for the update pass to report
import -window root "$root"
convert "$root" -crop "900x550+$ox+$oy" +repage "$shot"

rgb() {  # rgb FILE X Y -> "r,g,b"
  convert "$1" -format "%[fx:round(255*p{$2,$3}.r)],%[fx:round(255*p{$2,$3}.g)],%[fx:round(255*p{$2,$3}.b)]" info:
}
expect() {  # expect NAME X Y "r,g,b" (window coordinates)
  local got
  got=$(rgb "$shot" "$2" "$3")
  [ "$got" = "$4" ] || fail "$1 at ($2,$3): expected $4, got $got"
}
white_in() {  # white_in NAME X Y W H: white label pixels in that part of the window
  local n
  n=$(convert "$shot" -crop "$4x$5+$2+$3" +repage txt:- | grep -c '#FFFFFF')
  [ "$n" -ge 8 ] || fail "$1: only $n white label pixels"
}

expect "NEWS fill" 90 322 "40,40,40"
expect "RANKING fill" 250 382 "40,40,40"
expect "SETTINGS fill" 90 442 "40,40,40"
expect "START GAME fill" 632 450 "0,180,120"
expect "close button fill" 887 25 "150,30,30"
expect "progress track" 790 510 "40,40,40"
white_in "NEWS label" 80 280 180 25
white_in "RANKING label" 80 340 180 25
white_in "SETTINGS label" 80 400 180 25
white_in "START GAME label" 620 390 240 35
white_in "close label" 860 10 30 15
# The picture shows 1:1 where nothing else is drawn (the dots stay below 300).
for spot in "450 100" "30 30" "700 250" "300 200"; do
  set -- $spot
  expect "background" "$1" "$2" "$(rgb "$background" "$1" "$2")"
done
# Nothing of the window outside its rectangle.
[ "$(rgb "$root" $((ox - 5)) $((oy - 5)))" != "$(rgb "$root" $((ox + 30)) $((oy + 30)))" ] ||
  fail "the window does not start at ($ox,$oy)"

# The close button ends the launcher.
xdotool mousemove $((ox + 875)) $((oy + 25)) click 1
for _ in $(seq 1 50); do
  kill -0 "$launcher" 2>/dev/null || break
  sleep 0.2
done
kill -0 "$launcher" 2>/dev/null && fail "the close button did not end the launcher" && kill "$launcher"
wait "$launcher" 2>/dev/null
echo "screenshot: $shot"
[ "$failures" -eq 0 ]
