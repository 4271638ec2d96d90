#!/usr/bin/env bash
# Installs the packages of tools/host/packages.txt that this machine lacks: all of
# them, or with "demo" or "release" only those ./run-demo.sh or
# ./make-release.sh needs. Without recommended packages. Asks dpkg for each
# by its architecture, so that a machine that has them all (root or not)
# never goes to the package archive. apt's output goes to build/apt.log,
# printed when it fails.
set -euo pipefail
cd "$(dirname "$0")/../.."
source tools/host/platforms.sh
rank() { case $1 in demo) echo 1 ;; release) echo 2 ;; *) echo 3 ;; esac; }
upto=$(rank "${1:-tests}")
native=$(dpkg --print-architecture)
installed=$(dpkg-query -W -f '${binary:Package} ${db:Status-Abbrev}\n' | awk '$2 == "ii" { print $1 }')
missing=()
while read -r name need _; do
  [ -n "$name" ] && [ "$(rank "$need")" -le "$upto" ] || continue
  case "$name" in *:*) want=$name ;; *) want="$name $name:$native" ;; esac
  found=
  for w in $want; do grep -qxF "$w" <<<"$installed" && found=1; done
  [ -n "$found" ] || missing+=("$name")
done < <(grep -v '^#' tools/host/packages.txt)
[ ${#missing[@]} -gt 0 ] || exit 0

echo "installing ${#missing[@]} packages: ${missing[*]} (apt's output: build/apt.log)"
# The architectures the released programs run as (cmake/platforms.txt).
for arch in $(platforms | awk '{ print $3 }' | sort -u); do
  [ "$arch" = "$native" ] || dpkg --print-foreign-architectures | grep -qx "$arch" ||
    dpkg --add-architecture "$arch"
done
mkdir -p build
export DEBIAN_FRONTEND=noninteractive
if ! { apt-get update -q && apt-get install -y -q --no-install-recommends "${missing[@]}"; } \
     >build/apt.log 2>&1; then
  tail -40 build/apt.log
  echo "installing the packages failed: build/apt.log has apt's whole output" >&2
  exit 1
fi
