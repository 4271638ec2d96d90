#!/usr/bin/env bash
# Watch a whole installation without a device: builds the Linux updater and
# the device emulator, then installs the built-in software on the emulator at
# the real line speed (115,200 baud). --fast runs the line unpaced; --log shows
# the emulator's whole log instead of its summary. Fails unless the
# emulator's verdict is exact.
set -euo pipefail
cd "$(dirname "$0")"
usage="usage: ./run-demo.sh [--fast] [--log]
  Installs the built-in software on the device emulator, as a user would see it.
  --fast   the line unpaced (default: 115,200 baud, about 25 s)
  --log    the emulator's whole log, a line for every chunk and sync byte
  --help   this text
Exit status 0 only when the emulator received exactly what the image calls for."
baud=115200
full_log=
for arg in "$@"; do
  case "$arg" in
    --fast) baud=0 ;;
    --log) full_log=1 ;;
    -h|--help) echo "$usage"; exit 0 ;;
    *) echo "run-demo.sh: unknown argument ${arg}" >&2; echo "$usage" >&2; exit 2 ;;
  esac
done

# dpkg is asked only where a tool is missing (each package's name is its
# command's).
for tool in $(awk '$2 == "demo" { print $1 }' tools/host/packages.txt); do
  command -v "$tool" >/dev/null || { tools/host/install-packages.sh demo; break; }
done

cmake -S . -B build/demo -DCMAKE_BUILD_TYPE=Release -DTRELVANE_TESTS=OFF -DTRELVANE_TEST_PROGRAMS=OFF >/dev/null
cmake --build build/demo -j "$(nproc)" --target trelvane-update trelvane-emu >/dev/null

work=$(mktemp -d)
log="$work/emulator.log"
trap 'kill "$emu" 2>/dev/null || true; rm -rf "$work"' EXIT
build/demo/trelvane-emu --baud "$baud" --expect image/trelvane.bin >"$log" 2>&1 &
emu=$!
# The demo stops if the emulator ends, or names no device within 10 s.
for _ in $(seq 100); do
  grep -q "^emu: device at" "$log" || ! kill -0 "$emu" 2>/dev/null && break
  sleep 0.1
done
if ! grep -q "^emu: device at" "$log"; then
  echo "The emulator did not start: it ended or named no device within 10 s. It said:" >&2
  sed 's/^/  /' "$log" >&2
  exit 1
fi
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
if [ -n "$full_log" ]; then
  sed 's/^/  /' "$log"
else
  # The chunks and the sync bytes between them in one line; an answer other
  # than the sync byte is still shown on its own.
  grep -vE "^emu: (got chunk [0-9]+ of [0-9]+|sent sync after chunk [0-9]+|got sync A5)$" "$log" | sed 's/^/  /'
  echo "  ($(grep -c '^emu: got chunk' "$log") chunks; $(grep -c '^emu: sent sync' "$log") sync bytes sent" \
    "between them, $(grep -c '^emu: got sync A5$' "$log") answered with A5; --log shows each)"
fi
if [ "$emu_status" -ne 0 ] || ! grep -q "^emu: expect: exact" "$log"; then
  echo "The transfer was NOT exact." >&2
  exit 1
fi
