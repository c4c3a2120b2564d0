#!/usr/bin/env bash
# Prints the Windows architecture the tests can run here: i686 where the
# kernel runs 32-bit Linux programs (32-bit Wine works), x86_64 where it does
# not (some virtual machines boot with 32-bit emulation off). Needs Wine
# installed (scripts/setup.sh).
if /usr/lib/wine/wine --version >/dev/null 2>&1; then
  echo i686
else
  echo x86_64
fi
