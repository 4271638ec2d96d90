#!/usr/bin/env bash
# Prints what an installation costs: time, CPU, memory and system calls of
# the Linux updater against the device emulator, next to a plain copy of the
# same bytes, at the real line speed, for the Windows program under Wine, with
# a device that never answers, and when the line is hung up.
#
# Run by hand, as root on Debian, after ./run-tests.sh has built both
# programs:   bench/run-bench.sh
# NATIVE=DIR and WINDOWS=DIR name other build folders (default build/native
# and build/windows; the Wine prefix is WINDOWS/wineprefix). KEEP=1 keeps the
# logs of every run (emulator, console, strace) and says where.
#
# It only prints figures, with the targets beside them: a missed target still
# exits 0. The exit status is non-zero only when a run fails outright (a
# program missing, a transfer that is not exact, an emulator that does not
# start).
#
# The Wine runs use COM2 of the Wine prefix, as the Windows end-to-end tests
# do: do not run this while those tests run on the same build folder. Other
# work on the machine shows in the times, so run it on a quiet machine.
set -uo pipefail
cd "$(dirname "$0")/.." || exit 1
root=$(pwd)
NATIVE=${NATIVE:-$root/build/native}
WINDOWS=${WINDOWS:-$root/build/windows}
NATIVE=$(cd "$NATIVE" 2>/dev/null && pwd || echo "$NATIVE")
WINDOWS=$(cd "$WINDOWS" 2>/dev/null && pwd || echo "$WINDOWS")
IMAGE=$root/image/trelvane.bin
UPD=$NATIVE/trelvane-update
EMU=$NATIVE/trelvane-emu
EXE=$WINDOWS/trelvane-update.exe
PREFIX=$WINDOWS/wineprefix

# What one run of the built-in image sends, and its shape.
BYTES=254372
BLOCKS=62
LOADER=256
# Port writes that carry no block: two headers, the loader, 30 checksums,
# 29 answers to the sync byte and the final bytes.
SMALL_WRITES=63
PAUSES=2.000
RUNS=5
WINE_RUNS=3

fail() {
  echo "FAILED: $*" >&2
  exit 1
}

# --- what the script needs -------------------------------------------------

[ -x "$UPD" ] && [ -x "$EMU" ] ||
  fail "no Linux build in $NATIVE (trelvane-update, trelvane-emu): run ./run-tests.sh first"
[ -f "$EXE" ] || fail "no Windows build in $WINDOWS (trelvane-update.exe): run ./run-tests.sh first"
[ -f "$IMAGE" ] || fail "no image at $IMAGE"

missing=()
command -v g++ >/dev/null || missing+=(g++)
command -v strace >/dev/null || missing+=(strace)
command -v wine >/dev/null || missing+=(wine wine64)
if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -q >/dev/null || fail "apt-get update"
  apt-get install -y -q "${missing[@]}" >/dev/null || fail "apt-get install ${missing[*]}"
fi

# The helpers live in the build folder, rebuilt when their source changes.
# --as-needed: a helper carries no library it does not call, so the plain
# copy's figures are not inflated by loading the C++ runtime.
RUNSTAT=$NATIVE/bench-runstat
PLAINCOPY=$NATIVE/bench-plaincopy
build_helper() {
  local src=$1 out=$2
  if [ ! -x "$out" ] || [ "$src" -nt "$out" ]; then
    g++ -std=c++17 -O2 -Wall -Wl,--as-needed -o "$out" "$src" || fail "cannot build $out from $src"
  fi
}
build_helper "$root/bench/runstat.cpp" "$RUNSTAT"
build_helper "$root/bench/plaincopy.cpp" "$PLAINCOPY"

if [ ! -f "$PREFIX/system.reg" ]; then
  sh "$root/tests/e2e/wineprefix.sh" "$PREFIX" >/dev/null || fail "cannot make the Wine prefix $PREFIX"
fi
WINE_ENV=(WINEPREFIX="$PREFIX" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=")

# --- processes and files of this run ------------------------------------------

tmp=$(mktemp -d /tmp/trelvane-bench.XXXXXX)
started=()  # every runstat started in the background; each passes a kill on

cleanup() {
  local p
  for p in "${started[@]}"; do
    kill "$p" 2>/dev/null
  done
  wait 2>/dev/null
  if [ -n "${KEEP:-}" ]; then
    echo "logs kept in $tmp"
  else
    rm -rf "$tmp"
  fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM HUP

# The waits below poll without starting a process each time, so that the
# script itself takes next to no CPU from the programs it measures: a read
# with a time-out on a pipe nobody writes to is the pause.
mkfifo "$tmp/idle"
exec {IDLE}<>"$tmp/idle"  # closed again for every program started
pause() {
  read -r -t "$1" -u "$IDLE" _ || true
}
now_us() {
  echo "${EPOCHREALTIME/./}"
}

# Waits up to LIMIT seconds for a background process; past that it is killed.
# Returns its exit status, or 124 after a kill.
wait_for() {
  local pid=$1 limit=$2 end
  end=$(($(now_us) + limit * 1000000))
  while kill -0 "$pid" 2>/dev/null; do
    if [ "$(now_us)" -gt "$end" ]; then
      kill "$pid" 2>/dev/null
      wait "$pid" 2>/dev/null
      forget "$pid"
      return 124
    fi
    pause 0.02
  done
  forget "$pid"
  wait "$pid"
}

# A process that has been waited for is no longer ours to kill on exit.
forget() {
  local p keep=()
  for p in "${started[@]}"; do
    [ "$p" = "$1" ] || keep+=("$p")
  done
  started=(${keep[@]+"${keep[@]}"})
}

# Waits up to 10 s for a line starting with TEXT in FILE.
wait_line() {
  local file=$1 text=$2 i
  for ((i = 0; i < 1000; i++)); do
    grep -q "^$text" "$file" 2>/dev/null && return 0
    pause 0.01
  done
  return 1
}

# start_emu BASE ARGS...: the emulator, logging to BASE.emu (and each line
# with the time it came out to BASE.emutimes), its cost in BASE.emustat;
# returns once it has made the line. Sets EMU_PID.
start_emu() {
  local base=$1
  shift
  "$RUNSTAT" --stamp "$base.emutimes" "$base.emustat" "$EMU" "$@" >"$base.emu" 2>"$base.emuerr" {IDLE}>&- &
  EMU_PID=$!
  started+=("$EMU_PID")
  wait_line "$base.emu" "emu: device at" ||
    fail "emulator did not start ($*): $(cat "$base.emu" "$base.emuerr" 2>/dev/null)"
}

# Monotonic time (ns) at which the emulator printed a line starting with TEXT.
emu_time() {
  awk -v t="$2" 'index($0, " " t) == index($0, " ") { print $1; exit }' "$1.emutimes"
}

# Field N of a stat line from runstat:
# 1 start_ns 2 end_ns 3 wall_s 4 user_s 5 sys_s 6 maxrss_kb 7 status
# Adds one run's figures (wall, user, system, user+system, max RSS) from its
# .stat file to the arrays the medians are taken from.
collect_stat() {
  walls+=("$(stat_field "$1" 3)")
  users+=("$(stat_field "$1" 4)")
  syss+=("$(stat_field "$1" 5)")
  cpus+=("$(awk '{ print $4 + $5 }' "$1")")
  rsss+=("$(stat_field "$1" 6)")
}

stat_field() {
  awk -v f="$2" '{ print $f }' "$1"
}

median() {
  printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'
}

calc() {
  awk "BEGIN { printf \"$1\", $2 }"
}

# One figure a line: label, value, target, pass/miss.
row() {
  local line
  printf -v line '  %-40s %-30s %-18s %s' "$1" "$2" "${3:-}" "${4:-}"
  echo "${line%"${line##*[! ]}"}"
}

verdict() {  # verdict CONDITION (awk expression)
  if awk "BEGIN { exit !($1) }"; then echo pass; else echo MISS; fi
}

# Runs the Linux updater on a line in the background (under an optional
# wrapper such as strace), with no terminal. Sets UPD_PID.
start_updater() {
  local base=$1 link=$2
  shift 2
  TRELVANE_COM2="$link" "$RUNSTAT" --session --pid-file "$base.pid" "$base.stat" "$@" "$UPD" -2 \
    </dev/null >"$base.console" 2>"$base.err" {IDLE}>&- &
  UPD_PID=$!
  started+=("$UPD_PID")
}

# The emulator must have got exactly what the image calls for.
check_exact() {
  local base=$1 st=$2
  [ "$st" = 0 ] && grep -q "^emu: expect: exact ($BYTES bytes)" "$base.emu" ||
    fail "transfer not exact ($base, emulator status $st): $(tail -n 3 "$base.emu")"
}

# full_run BASE [EMULATOR OPTIONS...]: one whole installation at full speed,
# with the updater under the wrapper in WRAP if any.
full_run() {
  local base=$1 link=$tmp/com2 st
  shift
  start_emu "$base" --link "$link" --expect "$IMAGE" "$@"
  start_updater "$base" "$link" ${WRAP[@]+"${WRAP[@]}"}
  wait_for "$UPD_PID" 120
  st=$?
  [ "$st" = 255 ] || fail "updater exit status $st, want 255 ($base): $(tail -c 300 "$base.console")"
  wait_for "$EMU_PID" 30
  check_exact "$base" $?
}

# Seconds from the moment the emulator saw the line set to 115200 (the
# program has the port open and configured) to the program's exit.
port_to_exit() {
  local set end
  set=$(emu_time "$1" "emu: line set")
  end=$(stat_field "$1.stat" 2)
  calc %.6f "($end - $set) / 1e9"
}

# Counts read and write calls in an strace -y log, split by what the
# descriptor is. Prints: port_writes port_partial console_writes
# other_writes port_reads other_reads.
count_calls() {
  awk '
    match($0, /(read|write)\([0-9]+<[^>]*>/) {
      call = substr($0, RSTART, RLENGTH)
      op = substr(call, 1, index(call, "(") - 1)
      path = call; sub(/^[^<]*</, "", path); sub(/>$/, "", path)
      port = path ~ /^\/dev\/pts\//
      cons = path ~ /console$/
      if (op == "write") {
        if (port) {
          pw++
          # a partial write returns less than it was asked to
          n = $0; sub(/.*, /, "", n); want = n; sub(/\).*/, "", want)
          got = $0; sub(/.*= /, "", got)
          if (got + 0 != want + 0) pp++
        } else if (cons) cw++
        else ow++
      } else if (port) pr++
      else or++
    }
    END { printf "%d %d %d %d %d %d\n", pw, pp, cw, ow, pr, or }' "$1"
}

STRACE=(strace -f -y -qq -s 0 -e "trace=read,write" -e signal=none -o)

echo "Trelvane updater bench: $BYTES bytes a run, $BLOCKS blocks, two fixed 1 s pauses"
echo "  Linux build $NATIVE, Windows build $WINDOWS"

# --- 1. full speed, Linux program ------------------------------------------

# A first run records the bytes for the plain copy and warms the caches.
WRAP=()
full_run "$tmp/record" --record "$tmp/sent.bin"
[ "$(stat -c %s "$tmp/sent.bin")" = "$BYTES" ] || fail "recorded $(stat -c %s "$tmp/sent.bin") bytes, want $BYTES"

walls=() cpus=() users=() syss=() rsss=() ports=()
for ((r = 1; r <= RUNS; r++)); do
  full_run "$tmp/full$r"
  collect_stat "$tmp/full$r.stat"
  ports+=("$(port_to_exit "$tmp/full$r")")
done
u_wall=$(median "${walls[@]}")
u_beyond=$(calc %.6f "$u_wall - $PAUSES")
u_cpu=$(median "${cpus[@]}")
u_user=$(median "${users[@]}")
u_sys=$(median "${syss[@]}")
u_rss=$(median "${rsss[@]}")
u_port=$(median "${ports[@]}")

WRAP=("${STRACE[@]}" "$tmp/full-strace.log")
full_run "$tmp/full-strace"
read -r u_pw u_pp u_cw u_ow u_pr u_or <<<"$(count_calls "$tmp/full-strace.log")"
WRAP=()

echo
echo "1. Linux program, full speed (median of $RUNS runs; system calls from one run under strace)"
row "wall, whole run" "$(calc '%.3f s' "$u_wall")"
row "wall beyond the two pauses" "$(calc '%.1f ms' "$u_beyond * 1000")" "target < 50 ms" \
  "$(verdict "$u_beyond < 0.050")"
row "  of it from port set up to exit" "$(calc '%.1f ms' "($u_port - $PAUSES) * 1000")"
row "CPU user+system" "$(calc '%.1f ms (%.1f + %.1f)' "$u_cpu * 1000, $u_user * 1000, $u_sys * 1000")" \
  "target < 20 ms" "$(verdict "$u_cpu < 0.020")"
row "peak memory (max RSS)" "$u_rss KB" "target < 4096 KB" "$(verdict "$u_rss < 4096")"
row "write calls to the port" "$u_pw ($u_pp partial)"
row "  per block ($BLOCKS blocks; $SMALL_WRITES small ones)" \
  "$(calc %.2f "($u_pw - $SMALL_WRITES) / $BLOCKS")" "target about 1" \
  "$(verdict "($u_pw - $SMALL_WRITES) / $BLOCKS <= 1.05 && $u_pp == 0")"
row "write calls, console / other" "$u_cw / $u_ow"
row "read calls, port / other" "$u_pr / $u_or"

# --- 2. the floor: a plain copy ------------------------------------------------

plain_run() {
  local base=$1 link=$tmp/com2 st pid
  shift
  start_emu "$base" --link "$link" --silent
  "$RUNSTAT" --session "$base.stat" "$@" "$PLAINCOPY" "$link" "$tmp/sent.bin" \
    </dev/null >"$base.out" 2>"$base.err" {IDLE}>&- &
  pid=$!
  started+=("$pid")
  wait_for "$pid" 60
  st=$?
  [ "$st" = 0 ] || fail "plain copy exit status $st: $(cat "$base.err")"
  wait_for "$EMU_PID" 30
  grep -q "^emu: received $BYTES bytes" "$base.emu" ||
    fail "plain copy: emulator did not get $BYTES bytes: $(tail -n 2 "$base.emu")"
}

plain_run "$tmp/plain0"  # warm-up
walls=() cpus=() users=() syss=() rsss=()
for ((r = 1; r <= RUNS; r++)); do
  plain_run "$tmp/plain$r"
  collect_stat "$tmp/plain$r.stat"
done
p_wall=$(median "${walls[@]}")
p_cpu=$(median "${cpus[@]}")
p_user=$(median "${users[@]}")
p_sys=$(median "${syss[@]}")
p_rss=$(median "${rsss[@]}")
plain_run "$tmp/plain-strace" "${STRACE[@]}" "$tmp/plain-strace.log"
read -r p_pw p_pp p_cw p_ow p_pr p_or <<<"$(count_calls "$tmp/plain-strace.log")"

echo
echo "2. Plain copy of the same bytes in 4097-byte writes (median of $RUNS runs)"
row "wall, whole run" "$(calc '%.1f ms' "$p_wall * 1000")"
row "CPU user+system" "$(calc '%.1f ms (%.1f + %.1f)' "$p_cpu * 1000, $p_user * 1000, $p_sys * 1000")"
row "peak memory (max RSS)" "$p_rss KB"
row "write calls, port / other" "$p_pw ($p_pp partial) / $((p_cw + p_ow))"
row "read calls (the file, the C library)" "$((p_pr + p_or))"
row "updater beyond pauses / plain copy" "$(calc '%.1f x' "$u_beyond / $p_wall")"

# --- 3. paced at the real line speed -------------------------------------------

base=$tmp/paced
start_emu "$base" --link "$tmp/com2" --baud 115200 --expect "$IMAGE"
start_updater "$base" "$tmp/com2"
wait_for "$UPD_PID" 120
st=$?
[ "$st" = 255 ] || fail "paced: updater exit status $st, want 255: $(tail -c 300 "$base.console")"
wait_for "$EMU_PID" 30
check_exact "$base" $?
# The last bytes can still sit in the line's buffer when the updater exits;
# the installation is done when the device has taken the last of them.
limit=$(calc %.6f "$BYTES * 10 / 115200 + $PAUSES")
upd_start=$(stat_field "$base.stat" 1)
upd_end=$(stat_field "$base.stat" 2)
last=$(emu_time "$base" "emu: got final bytes")
done_s=$(calc %.6f "(($last > $upd_end ? $last : $upd_end) - $upd_start) / 1e9")
over=$(calc %.6f "($done_s - $limit) / $limit * 100")

echo
echo "3. Paced at 115,200 baud (1 run)"
row "line done (device has every byte)" "$(calc '%.3f s' "$done_s")"
row "updater exited" "$(calc '%.3f s' "($upd_end - $upd_start) / 1e9")"
row "limit: $BYTES x 10 / 115,200 + 2 s" "$(calc '%.3f s' "$limit")"
# The loader goes out during the second pause, so the line can be done that
# much before the limit.
row "  less the loader's time in the pause" "$(calc '%.3f s' "$limit - $LOADER * 10 / 115200")"
row "overhead over the limit" "$(calc '%+.2f %%' "$over")" "target < 0.5 %" "$(verdict "$over < 0.5")"
row "emulator verdict" "exact"

# --- 4. the Windows program under Wine -----------------------------------------

wine_run() {
  local base=$1 link=$PREFIX/dosdevices/com2 st pid
  start_emu "$base" --link "$link" --expect "$IMAGE"
  env "${WINE_ENV[@]}" "$RUNSTAT" --session "$base.stat" wine "$EXE" -2 \
    </dev/null >"$base.console" 2>"$base.err" {IDLE}>&- &
  pid=$!
  started+=("$pid")
  wait_for "$pid" 120
  st=$?
  [ "$st" = 255 ] || fail "Wine: updater exit status $st, want 255: $(tail -c 300 "$base.console")"
  wait_for "$EMU_PID" 30
  check_exact "$base" $?
}

# Debian starts Wine's server with no persistence: it quits the moment its
# last program ends, and a program started just then waits for it to go and
# starts a new one, 0.4 to 1 s that would be counted as the updater's. Kept
# 10 s past its last program, one server serves all these runs, then ends by
# itself. The first run starts Wine's services and loads the prefix: not
# counted.
env "${WINE_ENV[@]}" wineserver -p10 >/dev/null 2>&1 {IDLE}>&- || true
wine_run "$tmp/wine0"
walls=() cpus=() ports=()
for ((r = 1; r <= WINE_RUNS; r++)); do
  wine_run "$tmp/wine$r"
  walls+=("$(stat_field "$tmp/wine$r.stat" 3)")
  cpus+=("$(awk '{ print $4 + $5 }' "$tmp/wine$r.stat")")
  ports+=("$(port_to_exit "$tmp/wine$r")")
done
w_wall=$(median "${walls[@]}")
w_cpu=$(median "${cpus[@]}")
w_port=$(median "${ports[@]}")
w_starts=$(for ((r = 1; r <= WINE_RUNS; r++)); do
  calc '%.0f ' "($(emu_time "$tmp/wine$r" "emu: line set") - $(stat_field "$tmp/wine$r.stat" 1)) / 1e6"
done)

echo
echo "4. Windows program under Wine, full speed (median of $WINE_RUNS runs, after one warm-up)"
row "wall, whole run" "$(calc '%.3f s' "$w_wall")"
row "wall beyond the two pauses" "$(calc '%.1f ms' "($w_wall - $PAUSES) * 1000")"
row "  of it from port set up to exit" "$(calc '%.1f ms' "($w_port - $PAUSES) * 1000")"
row "  start to port set up, each run" "${w_starts% } ms"
row "CPU of the wine process" "$(calc '%.1f ms' "$w_cpu * 1000")" "(mostly Wine itself)"

# --- 5. a device that never answers -------------------------------------------

base=$tmp/silent
start_emu "$base" --link "$tmp/com2" --silent
start_updater "$base" "$tmp/com2"
wait_line "$base.emu" "emu: line set" || fail "silent device: the updater did not set the line up"
upid=$(cat "$base.pid")
# With the line set the updater goes on to wait for the announce; give it a
# moment to get there, then watch its CPU for 5 s. schedstat counts
# nanoseconds on the CPU; stat's clock ticks are the fallback.
pause 0.2
cpu_ns() {
  if [ -r "/proc/$1/schedstat" ]; then
    awk '{ print $1 }' "/proc/$1/schedstat"
  else
    awk -v hz="$(getconf CLK_TCK)" '{ sub(/^.*\) /, ""); print ($12 + $13) * 1e9 / hz }' "/proc/$1/stat"
  fi
}
c0=$(cpu_ns "$upid") || fail "silent device: the updater is gone"
pause 5
c1=$(cpu_ns "$upid") || fail "silent device: the updater ended while waiting: $(cat "$base.console")"
wchan=$(cat "/proc/$upid/wchan" 2>/dev/null)
kill -INT "$upid"
wait_for "$UPD_PID" 10
wait_for "$EMU_PID" 10
s_ms=$(calc %.3f "($c1 - $c0) / 1e6")

echo
echo "5. Silent device: the updater waits for the announce"
row "CPU over 5 s of waiting" "$s_ms ms (in ${wchan:-?})" "target < 20 ms" "$(verdict "$s_ms < 20")"

# --- 6. hang-up ------------------------------------------------------------------

echo
echo "6. Hang-up after N bytes: from the emulator's hang-up to the updater's exit"
for n in 5 16656 100000 246172; do
  base=$tmp/hangup$n
  start_emu "$base" --link "$tmp/com2" --hangup-after "$n" --expect "$IMAGE"
  start_updater "$base" "$tmp/com2"
  wait_for "$EMU_PID" 60
  st=$?
  [ "$st" = 3 ] || fail "hang-up after $n: emulator status $st, want 3: $(tail -n 2 "$base.emu")"
  if wait_for "$UPD_PID" 20; then st=0; else st=$?; fi
  if [ "$st" = 124 ] || [ ! -s "$base.stat" ]; then
    row "N = $n" "no exit in 20 s (killed)" "target < 2 s" MISS
    continue
  fi
  delay=$(calc %.6f "($(stat_field "$base.stat" 2) - $(emu_time "$base" "emu: hung up")) / 1e9")
  cpu=$(awk '{ print ($4 + $5) * 1000 }' "$base.stat")
  console=ok
  [ "$(tail -n 3 "$base.console" | tr -d '\r')" = $'Lost connection on COM2\n\nPress any key to continue...' ] ||
    console="console end unexpected"
  [ "$st" = 255 ] || console="$console, exit status $st"
  row "N = $n" "$(calc '%.2f ms, run CPU %.1f ms' "$delay * 1000, $cpu"), $console" "target < 2 s" \
    "$(verdict "$delay < 2")"
done

exit 0
