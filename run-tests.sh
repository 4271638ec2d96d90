#!/usr/bin/env bash
# Installs what the build and the tests need, builds the updater for every
# platform, runs the tests of each program, and makes the release once; ends
# with a summary of each stage (its cases passed, failed and skipped, and its
# time). Exit status non-zero on any failure. Arguments go to every
# configure, as ./make-release.sh takes them:
# -DTRELVANE_IMAGE=/path/to/device-software.bin proves the suite on that image.
set -euo pipefail
cd "$(dirname "$0")"
root=$(pwd)
source tools/host/platforms.sh
jobs=$(nproc 2>/dev/null || echo 2)
mkdir -p build/logs
status=0
stages=()
# Every build and check dated alike, as a release is by its source, so that
# each released program's build and the release's own build of it (in the
# copy below, dated by its files, all given this time) are the same bytes,
# manual page and packages too.
export SOURCE_DATE_EPOCH=1700000000

# A stage's output goes to the console and to build/logs/N-NAME.log, from
# which its pytest and CTest closing lines are counted; a stage that fails
# with no case counted counts as one failure. The command runs where `set -e`
# does not hold: it says itself when it fails.
stage() {  # NAME COMMAND...
  local name=$1 start=$SECONDS log result=pass
  shift
  log=build/logs/$(printf '%02d' ${#stages[@]})-${name//[^A-Za-z0-9]/-}.log
  echo "== $name"
  "$@" 2>&1 | tee "$log" || { result=FAILED; status=1; }
  stages+=("$(awk -v name="$name" -v result="$result" -v secs=$((SECONDS - start)) '
    / in [0-9.]+s/ && /(passed|failed|skipped|error)/ {
      for (i = 1; i < NF; i++) if ($(i + 1) ~ /^(passed|failed|skipped|errors?)/) {
        k = $(i + 1); sub(/[,=]+$/, "", k); sub(/errors?/, "failed", k); n[k] += $i } }
    /tests passed, [0-9]+ tests failed out of/ { n["failed"] += $4; n["passed"] += $NF - $4 }
    END { if (result != "pass" && !n["failed"]) n["failed"] = 1
          printf "%-40s %-6s %6d %6d %6d %6d\n", name, result, n["passed"], n["failed"], n["skipped"], secs }
  ' "$log")")
  [ $result = pass ]
}

summary() {
  printf '\n%-40s %-6s %6s %6s %6s %6s\n' stage result passed failed skipped s
  printf '%s\n' "${stages[@]}"
  printf '%s\n' "${stages[@]}" | awk '{ p += $(NF-3); f += $(NF-2); k += $(NF-1) }
    END { printf "time: %d s in all\ntotal: %d passed, %d failed, %d skipped\n", '$SECONDS', p, f, k }'
}
# A build that fails ends the run, with the summary of what ran.
built() { stage "$@" || { summary; exit 1; }; }

built "packages" tools/host/install-packages.sh

build() {  # FOLDER TARGET CONFIGURE-ARGUMENTS...
  local folder=$1 target=$2
  shift 2
  cmake -S . -B "$folder" "$@" >/dev/null && cmake --build "$folder" -j "$jobs" ${target:+--target "$target"}
}
built "native build" build build/native "" -DCMAKE_BUILD_TYPE=Release "$@"

# The virtual machines' kernels and busybox: downloaded and unpacked into
# build/vm/ARCH, not installed. A metapackage is followed to the kernel it
# depends on.
kernels() {
  while read -r -u 3 arch names; do
    dir=build/vm/$arch
    [ -e "$dir/unpacked" ] && continue
    if [ "${TRELVANE_VM_SKIP:-}" = 1 ]; then
      echo "TRELVANE_VM_SKIP=1: no $arch kernel downloaded, its virtual machine is skipped"
      continue
    fi
    echo "$arch kernel and busybox"
    rm -rf "$dir" && mkdir -p "$dir/debs" || return 1
    for name in $names; do
      real=$(apt-cache depends "$name:$arch" | sed -n 's/^ *Depends: \(linux-image-.*\)/\1/p' | head -1)
      (cd "$dir/debs" && apt-get download -q "${real:-$name:$arch}" >>"$root/build/apt.log" 2>&1) ||
        { echo "downloading ${real:-$name:$arch} failed: build/apt.log"; return 1; }
    done
    for deb in "$dir"/debs/*.deb; do dpkg-deb -x "$deb" "$dir" || return 1; done
    touch "$dir/unpacked"
  done 3< <(PYTHONPATH=tests:tools/release python3 tests/vm/machines.py)
}
built "virtual machines' kernels" kernels

# Every released program, built by its toolchain file, tested with the
# native emulator and image generator.
folders=()
while read -r -u 3 toolchain folder _; do
  built "$folder build" build "build/$folder" "" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/$toolchain.cmake" \
    -DTRELVANE_HOST_TOOLS="$root/build/native" "$@"
  folders+=("$folder")
done 3< <(platforms)
built "sanitized build" build build/asan "" -DCMAKE_BUILD_TYPE=Debug -DTRELVANE_SANITIZE=ON "$@"
CXX=clang++ built "fuzz build" build build/fuzz messages_fuzz -DTRELVANE_FUZZ=ON \
  -DTRELVANE_TESTS=OFF -DTRELVANE_TEST_PROGRAMS=OFF "$@"

# A build's unit tests (CTest), then its end-to-end cases (pytest): the
# build's own facts say which cases are its. Seven at once: a case mostly
# waits for the device's pauses. A released build's release checks come
# after, one at a time.
tests() {  # BUILD
  local failed=0
  ctest --test-dir "$1" -j 4 --output-on-failure --timeout 300 || failed=1
  pytest-3 tests/e2e --build "$1" -n 7 -q || failed=1
  return $failed
}
stage "native tests" tests build/native || true
# The suite follows the image it is given: the native program once more
# around each image of a small family at the edges of what a build takes
# (chunks, header: code, hardware codes, version): versions 0.00, 9.99, 10.00
# and one with a byte over 127; hardware codes 0, 127 and 0xFF; 0 to 3
# chunks; the large image is the built-in one. Every end-to-end case runs
# but the checks of the sources, of the build's image check and of the
# benchmark's own waits, which no image changes (the unit tests carry an
# image of their own). One folder,
# configured again for each: only the image is built anew.
edge_images=(
  "0 FF,00,7F,00,00"
  "1 FF,FF,FF,09,63"
  "2 FF,7F,00,0A,00"
  "3 FF,00,FF,80,05"
)
edge_image() {  # CHUNKS HEADER CONFIGURE-ARGUMENTS...
  local image="$root/build/edge-images/$1-${2//,/}.bin"
  mkdir -p build/edge-images &&
  build/native/trelvane-mkimage --chunks "$1" --header "$2" "$image" &&
  build build/edge-image trelvane-programs -DCMAKE_BUILD_TYPE=Release "${@:3}" \
    -DTRELVANE_IMAGE="$image" &&
  pytest-3 tests/e2e --build build/edge-image -n 7 -q \
    --ignore tests/e2e/test_build_check.py --ignore tests/e2e/test_docs.py \
    --ignore tests/e2e/test_bench.py --ignore tests/e2e/test_campaign.py
}
for edge in "${edge_images[@]}"; do
  read -r chunks header <<<"$edge"
  stage "edge image $edge" edge_image "$chunks" "$header" "$@" || true
done
# The release needs nothing the stages above made: it is made in a copy of
# the source without build/, as in a fresh clone, then moved to release/.
# Its files all dated as a source archive would date them, the release must
# carry that date (its bill of materials names it), and list every program
# of cmake/platforms.txt only once it has qualified it.
release() {
  local copy=build/release-source failed=0 date=$SOURCE_DATE_EPOCH
  rm -rf "$copy" && mkdir -p "$copy" &&
    tar -c --exclude=./build --exclude=./release --exclude=./.git . | tar -x -C "$copy" &&
    find "$copy" -exec touch -h -d "@$date" {} + || return 1
  env -u SOURCE_DATE_EPOCH "$copy/make-release.sh" "$@" | tee build/logs/release.out || failed=1
  [ "$(grep -c '^qualified ' build/logs/release.out)" = "$(platforms | wc -l)" ] ||
    { echo "release: not every program of cmake/platforms.txt qualified" >&2; failed=1; }
  grep -q "\"created\": \"$(date -u -d "@$date" +%FT%TZ)\"" "$copy"/release/*.spdx.json ||
    { echo "release: not dated by its source's files" >&2; failed=1; }
  if [ -d "$copy/release" ]; then rm -rf release && mv "$copy/release" release; fi
  return $failed
}
stage "the release, from a copy without build/" release "$@" || true
# The 64-bit Windows program runs every case under Wine; the others the
# representative ones. Each released program's release checks find it the
# same bytes as the release's own build of it, in the copy above (two builds
# of each program in all).
for folder in "${folders[@]}"; do
  stage "$folder tests" tests "build/$folder" || true
  stage "$folder release checks" pytest-3 tests/release --build "build/$folder" \
    --rebuilt build/release-source/build/release -q || true
done
# The machines two at a time: a run at line speed mostly waits.
stage "real serial drivers (VMs)" pytest-3 tests/vm --build build/native -n 2 --dist loadgroup \
  -q -rfEs || true
stage "native tests, sanitized" tests build/asan || true

# New inputs go to a scratch folder; the kept corpus in the repo only seeds.
fuzz() {
  rm -rf build/fuzz/new-corpus && mkdir -p build/fuzz/new-corpus
  if build/fuzz/tests/fuzz/messages_fuzz -max_total_time="${TRELVANE_FUZZ_SECONDS:-60}" \
       -print_final_stats=1 build/fuzz/new-corpus tests/fuzz/corpus >build/fuzz/fuzz.log 2>&1; then
    grep -E "^(#[0-9]+ +DONE|stat::number_of_executed_units)" build/fuzz/fuzz.log || true
    echo "fuzzing: no failure"
  else
    tail -40 build/fuzz/fuzz.log
    echo "fuzzing: FAILED"
    return 1
  fi
}
stage "fuzzing the message receiver" fuzz || true
summary
exit $status
