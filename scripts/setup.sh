#!/usr/bin/env bash
# Installs the Debian packages the project needs and builds it.
# Usage: scripts/setup.sh [BUILD_DIR [extra cmake arguments...]]
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$top/build}
shift || true

packages=$(grep -v -E '^\s*(#|$)' "$top/scripts/packages.txt")
missing=$(dpkg-query -W -f='${Package} ${Status}\n' $packages 2>/dev/null | awk '$4 != "installed" {print $1}' || true)
# dpkg-query says nothing of packages it has never heard of; those are missing too.
for p in $packages; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing="$missing $p"
done
if [ -n "${missing// /}" ]; then
    echo "Installing Debian packages:$missing"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    # shellcheck disable=SC2086
    apt-get install -y -qq --no-install-recommends $missing >/dev/null
fi

cmake -S "$top" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
cmake --build "$build" -j "$(nproc)"
