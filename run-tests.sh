#!/usr/bin/env bash
# Installs what the build and the tests need, builds the updater for every
# platform, runs the tests of each program, and makes the release once. Exit
# status non-zero on any failure. Arguments go to every configure, as
# ./make-release.sh takes them: -DTRELVANE_IMAGE=/path/to/device-software.bin
# proves the whole suite on that image.
set -euo pipefail
cd "$(dirname "$0")"
root=$(pwd)
jobs=$(nproc 2>/dev/null || echo 2)
# The arguments, for the checks that configure again (the reproducibility
# check), quoted as the shell reads them.
export TRELVANE_CONFIGURE="${*@Q}"

tools/install-packages.sh

echo "== native build"
cmake -S . -B build/native -DCMAKE_BUILD_TYPE=Release "$@" >/dev/null
cmake --build build/native -j "$jobs"

# The ARM virtual machines' kernel and busybox: downloaded and unpacked into
# build/vm/ARCH, not installed. A metapackage is followed to the kernel it
# depends on.
while read -r -u 3 arch names; do
  dir=build/vm/$arch
  [ -e "$dir/unpacked" ] && continue
  if [ "${TRELVANE_VM_SKIP:-}" = 1 ]; then
    echo "== TRELVANE_VM_SKIP=1: no $arch kernel downloaded, its virtual machine is skipped"
    continue
  fi
  echo "== $arch kernel and busybox for the virtual machines"
  rm -rf "$dir" && mkdir -p "$dir/debs"
  for name in $names; do
    real=$(apt-cache depends "$name:$arch" | sed -n 's/^ *Depends: \(linux-image-.*\)/\1/p' | head -1)
    (cd "$dir/debs" && apt-get download -q "${real:-$name:$arch}")
  done
  for deb in "$dir"/debs/*.deb; do dpkg-deb -x "$deb" "$dir"; done
  touch "$dir/unpacked"
done 3< <(PYTHONPATH=tests python3 tests/vm/machines.py)

# Every released program, built by its toolchain file, tested with the
# native emulator and image generator.
folders=()
while read -r -u 3 toolchain folder _; do
  echo "== $folder build"
  cmake -S . -B "build/$folder" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/$toolchain.cmake" \
    -DTRELVANE_HOST_TOOLS="$root/build/native" "$@" >/dev/null
  cmake --build "build/$folder" -j "$jobs"
  folders+=("$folder")
done 3< <(grep -v '^#' cmake/platforms.txt)

echo "== sanitized build (AddressSanitizer, UndefinedBehaviorSanitizer)"
cmake -S . -B build/asan -DCMAKE_BUILD_TYPE=Debug -DTRELVANE_SANITIZE=ON "$@" >/dev/null
cmake --build build/asan -j "$jobs"

echo "== fuzz build"
CXX=clang++ cmake -S . -B build/fuzz -DTRELVANE_FUZZ=ON -DTRELVANE_TESTS=OFF \
  -DTRELVANE_TEST_PROGRAMS=OFF "$@" >/dev/null
cmake --build build/fuzz -j "$jobs" --target messages_fuzz

status=0
# A build's unit tests (CTest), then its end-to-end cases (pytest): the
# build's own facts say which cases are its. Seven at once: a case mostly
# waits for the device's pauses, and seven workers take a representative set
# in one round. A released build's release checks come after, one at a time:
# one of them builds the product twice.
tests() {  # BUILD
  ctest --test-dir "$1" -j 4 --output-on-failure --timeout 300 || status=1
  pytest-3 tests/e2e --build "$1" -n 7 -q || status=1
}
release_checks() {  # BUILD
  pytest-3 tests/release --build "$1" -q || status=1
}
echo "== native tests"
tests build/native
# The suite follows the image it is given: the native program once more
# around a second image, of another version, chunk count and hardware, and
# its end-to-end cases (the unit tests carry an image of their own).
echo "== native end-to-end tests, on a second image"
build/native/trelvane-mkimage --chunks 20 --header FF,07,02,03,10 build/second-image.bin
cmake -S . -B build/second-image -DCMAKE_BUILD_TYPE=Release "$@" \
  -DTRELVANE_IMAGE="$root/build/second-image.bin" >/dev/null
cmake --build build/second-image -j "$jobs" --target trelvane-programs
pytest-3 tests/e2e --build build/second-image -n 7 -q || status=1
# The 64-bit Windows program runs every case under Wine; the others the
# representative ones.
for folder in "${folders[@]}"; do
  echo "== $folder tests"
  tests "build/$folder"
  release_checks "build/$folder"
done
# The release needs nothing the steps above made: it is made in a copy of
# the source without build/, as in a fresh clone, and then moved to release/.
echo "== the release, from a copy of the source without the test builds"
copy=build/release-source
rm -rf "$copy" && mkdir -p "$copy"
tar -c --exclude=./build --exclude=./release --exclude=./.git . | tar -x -C "$copy"
"$copy/make-release.sh" "$@" || status=1
if [ -d "$copy/release" ]; then rm -rf release && mv "$copy/release" release; fi
echo "== the Linux programs on real serial drivers, in virtual machines"
pytest-3 tests/vm --build build/native -q -rfEs || status=1
echo "== native tests, sanitized"
tests build/asan

echo "== fuzzing the message receiver for ${TRELVANE_FUZZ_SECONDS:=60} s"
# New inputs go to a scratch folder; the kept corpus in the repo only seeds.
rm -rf build/fuzz/new-corpus && mkdir -p build/fuzz/new-corpus
if build/fuzz/tests/fuzz/messages_fuzz -max_total_time="$TRELVANE_FUZZ_SECONDS" -print_final_stats=1 \
     build/fuzz/new-corpus tests/fuzz/corpus >build/fuzz/fuzz.log 2>&1; then
  grep -E "^(#[0-9]+ +DONE|stat::number_of_executed_units)" build/fuzz/fuzz.log || true
  echo "fuzzing: no failure"
else
  tail -40 build/fuzz/fuzz.log
  echo "fuzzing: FAILED"
  status=1
fi
exit $status
