#!/usr/bin/env bash
# Builds the Debian package from a built tree, checks it with lintian and the service unit with
# systemd-analyze, installs it into a fresh Debian 12 root and runs `norvid -h` and
# `norvictl --help` there.
# Usage: scripts/package.sh [BUILD_DIR]
# The root is made with debootstrap from the archive this machine's apt already uses and is
# kept between runs (NORVI_ROOT_CACHE); each run installs into a fresh copy of it.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$top/build}
suite=bookworm
cache=${NORVI_ROOT_CACHE:-/var/cache/norvid-package-test}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

echo "== Package =="
(cd "$build" && cpack -G DEB >/dev/null)
deb=$(ls "$build"/norvid_*.deb)
echo "$deb"
dpkg-deb -I "$deb" | grep -E '^ (Version|Depends):'

echo "== lintian =="
lintian --fail-on error "$deb" || exit 1

echo "== Service unit =="
dpkg-deb -x "$deb" "$work/unpacked"
# verify looks up ExecStart= on the machine it runs on: the packaged binary stands in for it.
sed "s#^ExecStart=/usr/sbin/norvid#ExecStart=$work/unpacked/usr/sbin/norvid#" \
    "$work/unpacked/usr/lib/systemd/system/norvid.service" > "$work/norvid.service"
systemd-analyze verify "$work/norvid.service"
systemd-analyze security --offline=true "$work/norvid.service" | tail -1

echo "== Install into a fresh Debian 12 root =="
mirror=$(apt-get indextargets --format '$(REPO_URI)' "Codename: $suite" 'Label: Debian' \
         'Identifier: Packages' | head -1)
if [ ! -e "$cache/root/etc/debian_version" ]; then
    rm -rf "$cache/root"
    mkdir -p "$cache/debs"
    debootstrap --variant=minbase --cache-dir="$cache/debs" "$suite" "$cache/root" "$mirror" >/dev/null
fi
cp -a "$cache/root" "$work/root"
cp "$deb" "$work/root/tmp/"
cp /etc/resolv.conf "$work/root/etc/resolv.conf"
# Nothing installed in the root may start a service on this machine.
printf '#!/bin/sh\nexit 101\n' > "$work/root/usr/sbin/policy-rc.d"
chmod +x "$work/root/usr/sbin/policy-rc.d"
if ! { chroot "$work/root" apt-get update -qq &&
       DEBIAN_FRONTEND=noninteractive chroot "$work/root" \
           apt-get install -y -qq --no-install-recommends "/tmp/$(basename "$deb")"; } \
       >"$work/install.log" 2>&1; then
    cat "$work/install.log"
    exit 1
fi
# -h stops before the daemon touches anything; the namespaces keep it from the host's network and
# processes all the same.
status=0
help=$(unshare --mount --net --pid --fork --mount-proc="$work/root/proc" \
       chroot "$work/root" /usr/sbin/norvid -h) || status=$?
if [ "$status" != 1 ] || ! printf '%s\n' "$help" | grep -qx 'norvid arguments:'; then
    echo "norvid -h in the fresh root: status $status, output:"
    printf '%s\n' "$help"
    exit 1
fi
if ! chroot "$work/root" /usr/bin/norvictl --help | grep -q '^Usage:'; then
    echo "norvictl --help fails in the fresh root"
    exit 1
fi
echo "norvid -h and norvictl --help run in the fresh root"

