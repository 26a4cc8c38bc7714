#!/usr/bin/env bash
# Builds the daemon, its library and the unit tests for AArch64 with Debian's cross compiler
# and runs the unit tests under qemu-aarch64-static.
# Usage: scripts/cross.sh [BUILD_DIR]
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$top/build-arm64}

dpkg --print-foreign-architectures | grep -qx arm64 || dpkg --add-architecture arm64
"$top/scripts/install-packages.sh" "$top/scripts/packages-arm64.txt"

cmake -S "$top" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DNORVI_WERROR=ON \
    -DCMAKE_TOOLCHAIN_FILE="$top/cmake/aarch64-linux-gnu.cmake" >/dev/null
cmake --build "$build" -j "$(nproc)"
cd "$build" && ctest --output-on-failure -j "$(nproc)"
