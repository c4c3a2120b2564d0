#!/usr/bin/env bash
# Launcher.exe must be a 32-bit x86 GUI program that needs only DLLs every
# Windows has: no MinGW runtime DLLs beside it.
set -euo pipefail
objdump=$1
exe=$2
headers=$("$objdump" -f -p "$exe")
fail=0
grep -q 'file format pei-i386' <<<"$headers" || { echo "not a PE32 i386 image"; fail=1; }
grep -q 'architecture: i386' <<<"$headers" || { echo "not Intel 80386"; fail=1; }
grep -Eq 'Subsystem[[:space:]]+00000002' <<<"$headers" || { echo "not the Windows GUI subsystem"; fail=1; }
mapfile -t dlls < <(sed -n 's/^[[:space:]]*DLL Name: //p' <<<"$headers" | tr 'A-Z' 'a-z' | sort -u)
allowed=' kernel32.dll user32.dll gdi32.dll gdiplus.dll winhttp.dll bcrypt.dll advapi32.dll shell32.dll ole32.dll msvcrt.dll version.dll '
[ "${#dlls[@]}" -gt 0 ] || { echo "no imports found"; fail=1; }
for dll in "${dlls[@]}"; do
  case "$allowed" in
    *" $dll "*) echo "import: $dll" ;;
    *) echo "import outside the system DLLs: $dll"; fail=1 ;;
  esac
done
for needed in kernel32.dll user32.dll gdiplus.dll winhttp.dll; do
  case " ${dlls[*]} " in *" $needed "*) ;; *) echo "missing expected import $needed"; fail=1 ;; esac
done
exit "$fail"
