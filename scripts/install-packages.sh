#!/usr/bin/env bash
# Installs the Debian packages of a list (one a line, # comments) that are not installed yet.
# Usage: scripts/install-packages.sh LIST
set -euo pipefail
packages=$(grep -v -E '^\s*(#|$)' "$1")
missing=
# dpkg-query says nothing of packages it has never heard of, so each is asked on its own.
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
