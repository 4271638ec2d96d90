#!/usr/bin/env bash
# Builds the release into release/: one archive per program of
# cmake/platforms.txt, each holding the stripped program, the README and the
# SHA-256 of the program and of the image it carries, and release/SHA256SUMS
# over the archives. Arguments go to every
# configure, e.g. -DTRELVANE_IMAGE=/path/to/device-software.bin.
set -euo pipefail
cd "$(dirname "$0")"
root=$(pwd)
rm -rf release build/release
mkdir release
while read -r -u 3 toolchain folder; do
  build=build/release/$folder
  cmake -S . -B "$build" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/$toolchain.cmake" \
    -DTRELVANE_TESTS=OFF -DTRELVANE_TEST_PROGRAMS=OFF "$@" >/dev/null
  cmake --build "$build" -j "$(nproc)" >/dev/null
  cpack --config "$build/CPackConfig.cmake" -B "$build/package" >/dev/null
  mv "$build"/package/trelvane-update-*.* release/
done 3< <(grep -v '^#' cmake/platforms.txt)
cd release
sha256sum trelvane-update-* >SHA256SUMS
ls -l
