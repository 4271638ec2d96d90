#!/usr/bin/env bash
# Installs what the build and the tests need, builds the Linux and the
# Windows program, and runs every test of both. Exit status non-zero on any
# failure.
set -euo pipefail
cd "$(dirname "$0")"
root=$(pwd)
jobs=$(nproc 2>/dev/null || echo 2)

packages=(cmake make g++ libgtest-dev python3 g++-mingw-w64-x86-64 wine wine64)
missing=()
for p in "${packages[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "== installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -q
  apt-get install -y -q "${missing[@]}"
fi

echo "== native build"
cmake -S . -B build/native -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build/native -j "$jobs"

echo "== windows build"
cmake -S . -B build/windows -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64.cmake" \
  -DTRELVANE_HOST_TOOLS="$root/build/native" >/dev/null
cmake --build build/windows -j "$jobs"

status=0
echo "== native tests"
ctest --test-dir build/native -j 4 --output-on-failure --timeout 300 || status=1
echo "== windows tests (under Wine)"
ctest --test-dir build/windows -j 3 --output-on-failure --timeout 300 || status=1
exit $status
