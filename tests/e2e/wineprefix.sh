#!/bin/sh
# Creates the Wine prefix the Windows program's tests run in, once.
set -e
prefix=$1
export WINEPREFIX="$prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
if [ ! -f "$prefix/system.reg" ]; then
  wineboot -i >/dev/null 2>&1 || true
  wineserver -w
fi
test -d "$prefix/dosdevices"
echo "Wine prefix ready: $prefix"
