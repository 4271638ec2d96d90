#!/usr/bin/env bash
# Builds the release into release/: one archive per program of
# cmake/platforms.txt, each holding the stripped program, the README (and on
# Linux the manual page) and the SHA-256 of the program and of the image it
# carries; a Debian package of each Linux program; release/SHA256SUMS over
# them all. With the vendor's keys in the environment (cmake/Sign.cmake
# names them), the Windows programs are signed before they are archived and
# SHA256SUMS is signed into SHA256SUMS.minisig. Before SHA256SUMS is
# written, each program as released installs the image once against the
# device emulator (tools/release/qualify.py). Arguments go to every configure, e.g.
# -DTRELVANE_IMAGE=/path/to/device-software.bin. It needs nothing that
# ./run-tests.sh made: what is missing of the packages tools/host/packages.txt
# marks "release" is installed first.
set -euo pipefail
cd "$(dirname "$0")"
source tools/host/platforms.sh
root=$(pwd)
tools/host/install-packages.sh release
rm -rf release build/release
mkdir release
# The archives and packages date their files by the source, so that the same
# source gives the same bytes again (an unsigned release: a signature carries
# its own time): in a git work tree of its own, the commit's time; in a tree
# without git (a source archive), its newest file's time as the archive keeps
# it, which git archive sets to the commit's: both give the same release
# (what builds and runs write there, build/, release/ and Python's caches,
# left out).
if [ -z "${SOURCE_DATE_EPOCH:-}" ]; then
  if [ "$(git rev-parse --show-toplevel 2>/dev/null)" = "$(pwd -P)" ]; then
    SOURCE_DATE_EPOCH=$(git log -1 --format=%ct)
  else
    SOURCE_DATE_EPOCH=$(find . \( -path ./build -o -path ./release -o -name __pycache__ \) \
      -prune -o -type f -printf '%T@\n' | sort -n | tail -1 | cut -d. -f1)
  fi
  export SOURCE_DATE_EPOCH
fi
[ -n "$SOURCE_DATE_EPOCH" ] || { echo "make-release.sh: no date for the files" >&2; exit 1; }
# The native emulator and launcher, for each program's trial installation.
# The release builds are configured without their tests: their facts are the
# build's own.
tools=build/release/tools
cmake -S . -B "$tools" -DTRELVANE_TESTS=OFF -DTRELVANE_TEST_PROGRAMS=OFF "$@" >/dev/null
cmake --build "$tools" -j "$(nproc)" --target trelvane-emu trelvane-launch >/dev/null
folders=()
prefixes=()
while read -r -u 3 toolchain folder _; do
  build=build/release/$folder
  cmake -S . -B "$build" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/$toolchain.cmake" \
    -DTRELVANE_TESTS=OFF -DTRELVANE_TEST_PROGRAMS=OFF -DTRELVANE_HOST_TOOLS="$root/$tools" "$@" >/dev/null
  # A Windows program's Wine prefix (build/release/FOLDER/wineprefix), made
  # while the programs build.
  python3 tools/release/wineprefix.py "$build" >"$build/wineprefix.log" 2>&1 &
  prefixes+=($!)
  cmake --build "$build" -j "$(nproc)" --target trelvane-update >/dev/null
  # CPack's output says why a package failed, a signing key too.
  if ! cpack --config "$build/CPackConfig.cmake" -B "$build/package" >"$build/cpack.log" 2>&1; then
    cat "$build/cpack.log" >&2
    exit 1
  fi
  mv "$build"/package/trelvane-update[-_]*.* release/
  folders+=("$folder")
done 3< <(platforms)

# Qualification: each program, as its archive holds it, installs the image
# once against the emulator, all at once; any failure stops the release
# before it has a checksum list. A Windows program runs in the Wine prefix
# made above.
for i in "${!folders[@]}"; do
  if ! wait "${prefixes[$i]}"; then
    cat "build/release/${folders[$i]}/wineprefix.log" >&2
    exit 1
  fi
done
pids=()
for folder in "${folders[@]}"; do
  python3 tools/release/qualify.py "build/release/$folder" release \
    "$root/build/release/$folder/wineprefix" >"build/release/$folder/qualify.log" 2>&1 &
  pids+=($!)
done
failed=0
for i in "${!folders[@]}"; do
  wait "${pids[$i]}" || failed=1
  cat "build/release/${folders[$i]}/qualify.log"
done
if [ $failed = 1 ]; then
  echo "release stopped: a program failed its qualification (above); release/ has no SHA256SUMS" >&2
  exit 1
fi
# The bill of materials (SPDX), which SHA256SUMS lists with the rest.
python3 tools/release/spdx.py release "${folders[@]/#/build/release/}" >/dev/null
cd release
sha256sum trelvane-update[-_]* >SHA256SUMS
cmake -DSIGN_SUMS=SHA256SUMS -P "$root/cmake/Sign.cmake"

# One line on what is signed, so that an unsigned release is never taken
# for a signed one.
authenticode=${TRELVANE_SIGN_PKCS12:-${TRELVANE_SIGN_CERT:-}}
if [ -n "$authenticode" ] && [ -f SHA256SUMS.minisig ]; then
  echo "signed: the Windows programs with $authenticode, SHA256SUMS with minisign"
elif [ -n "$authenticode" ]; then
  echo "partly signed: the Windows programs with $authenticode; SHA256SUMS unsigned (no TRELVANE_MINISIGN_KEY)"
elif [ -f SHA256SUMS.minisig ]; then
  echo "partly signed: SHA256SUMS with minisign; the Windows programs unsigned (no TRELVANE_SIGN_PKCS12 or TRELVANE_SIGN_CERT)"
else
  echo "unsigned release: no TRELVANE_SIGN_PKCS12 or TRELVANE_SIGN_CERT, no TRELVANE_MINISIGN_KEY (doc/releasing.md, A signed release)"
fi
ls -l
