#!/usr/bin/env bash
# Watch a whole installation without a device: builds the Linux updater and
# the device emulator, then installs the built-in software on the emulator at
# the real line speed (115,200 baud). --fast runs the line unpaced. Fails
# unless the emulator's verdict is exact.
set -euo pipefail
cd "$(dirname "$0")"
usage="usage: ./run-demo.sh [--fast]
  Installs the built-in software on the device emulator, as a user would see it.
  --fast   the line unpaced (default: 115,200 baud, about 25 s)
  --help   this text
Exit status 0 only when the emulator received exactly what the image calls for."
baud=115200
case "${1:-}" in
  "") ;;
  --fast) baud=0 ;;
  -h|--help) echo "$usage"; exit 0 ;;
  *) echo "run-demo.sh: unknown argument ${1}" >&2; echo "$usage" >&2; exit 2 ;;
esac
[ $# -le 1 ] || { echo "$usage" >&2; exit 2; }

missing=()
for p in cmake make g++; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -q && apt-get install -y -q "${missing[@]}"
fi

cmake -S . -B build/demo -DCMAKE_BUILD_TYPE=Release -DTRELVANE_TESTS=OFF -DTRELVANE_TEST_PROGRAMS=OFF >/dev/null
cmake --build build/demo -j "$(nproc)" --target trelvane-update trelvane-emu >/dev/null

work=$(mktemp -d)
log="$work/emulator.log"
trap 'kill "$emu" 2>/dev/null || true; rm -rf "$work"' EXIT
build/demo/trelvane-emu --baud "$baud" --expect image/trelvane.bin >"$log" &
emu=$!
until grep -q "^emu: device at" "$log" 2>/dev/null; do sleep 0.1; done
port=$(sed -n 's/^emu: device at //p' "$log")
echo "A Trelvane emulator is on $port, mapped to COM2."
echo "The demo answers the updater's port prompt with 2."
echo "----------------------------------------------------------------------"
set +e
echo 2 | TRELVANE_COM2="$port" build/demo/trelvane-update
status=$?
set -e
emu_status=0
wait "$emu" || emu_status=$?
echo
echo "----------------------------------------------------------------------"
echo "Updater exit status: $status (255 is -1: the push ran to its end)"
echo "The emulator saw (exit status $emu_status; 0 is a complete, exact transfer):"
grep -vE "^emu: got (chunk [0-9]+ of [0-9]+|sync A5)$" "$log" | sed 's/^/  /'
echo "  ($(grep -c '^emu: got chunk' "$log") chunks and $(grep -c '^emu: got sync' "$log") sync bytes in between)"
if [ "$emu_status" -ne 0 ] || ! grep -q "^emu: expect: exact" "$log"; then
  echo "The transfer was NOT exact." >&2
  exit 1
fi
