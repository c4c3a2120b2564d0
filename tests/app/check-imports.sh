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
[[ "$dlls" == *" gdiplus.dll "* ]] || { echo "gdiplus.dll not imported"; fail=1; }
# WinHTTP, BCrypt and the accessibility DLLs are loaded when first called: their names are in the
# program's delay-load records, not in its import table.
names=" $(strings -a "$2" | tr 'A-Z' 'a-z' | grep -E '^[a-z0-9_.-]+[.]dll$' | tr '\n' ' ')"
for dll in winhttp.dll bcrypt.dll oleacc.dll oleaut32.dll; do
  [[ "$dlls" != *" $dll "* && "$names" == *" $dll "* ]] || { echo "$dll not delay-loaded"; fail=1; }
done
# Wine draws a program that declares no DPI awareness as it is, where Windows would stretch it:
# only the manifest inside the program shows it.
for want in '<dpiAware[^>]*>true<' '<dpiAwareness[^>]*>PerMonitorV2<'; do
  grep -aEq "$want" "$2" || { echo "the manifest does not declare $want"; fail=1; }
done
exit "$fail"
