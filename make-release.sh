#!/usr/bin/env bash
# Builds the release into release/: one archive per platform (win32, win64,
# linux-x86_64, linux-aarch64, linux-armhf), each holding the stripped
# program, the README and the SHA-256 of the program and of the image it
# carries, and release/SHA256SUMS over the archives. Arguments go to every
# configure, e.g. -DTRELVANE_IMAGE=/path/to/device-software.bin.
set -euo pipefail
cd "$(dirname "$0")"
root=$(pwd)
rm -rf release build/release
mkdir release
for target in win32:mingw-w64-i686 win64:mingw-w64 linux-x86_64 linux-aarch64 linux-armhf; do
  build=build/release/${target%%:*}
  cmake -S . -B "$build" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/${target#*:}.cmake" \
    -DTRELVANE_TESTS=OFF -DTRELVANE_TEST_PROGRAMS=OFF "$@" >/dev/null
  cmake --build "$build" -j "$(nproc)" >/dev/null
  cpack --config "$build/CPackConfig.cmake" -B "$build/package" >/dev/null
  mv "$build"/package/trelvane-update-*.* release/
done
cd release
sha256sum trelvane-update-* >SHA256SUMS
ls -l
