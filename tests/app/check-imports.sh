#!/usr/bin/env bash
# Launcher.exe must be a 32-bit x86 GUI program that needs only DLLs every
# Windows has: no MinGW runtime DLLs beside it.
set -uo pipefail
headers=$("$1" -f -p "$2")
fail=0
for want in 'file format pei-i386' 'architecture: i386' 'Subsystem[[:space:]]+00000002'; do
  grep -Eq "$want" <<<"$headers" || { echo "missing: $want"; fail=1; }
done
dlls=" $(sed -n 's/^[[:space:]]*DLL Name: //p' <<<"$headers" | tr 'A-Z\n' 'a-z ')"
echo "imports:$dlls"
allowed=' kernel32.dll user32.dll gdi32.dll gdiplus.dll winhttp.dll bcrypt.dll advapi32.dll shell32.dll ole32.dll msvcrt.dll version.dll '
for dll in $dlls; do
  [[ "$allowed" == *" $dll "* ]] || { echo "import outside the system DLLs: $dll"; fail=1; }
done
[[ "$dlls" == *" gdiplus.dll "*" winhttp.dll "* ]] || { echo "gdiplus.dll or winhttp.dll not found"; fail=1; }
exit "$fail"
