#!/usr/bin/env bash
# Installs what is needed, builds the normal and the sanitizer configuration with warnings as
# errors, checks the formatting and runs every test (unit and system) in both builds; then builds
# and installs the Debian package, builds and runs the unit tests for AArch64 and gives each fuzz
# target a short run (NORVI_FUZZ_SECONDS, default 15).
set -uo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"

"$top/scripts/setup.sh" "$top/build" -DNORVI_WERROR=ON || exit 1
"$top/scripts/setup.sh" "$top/build-asan" -DNORVI_WERROR=ON -DNORVI_SANITIZE=ON || exit 1

status=0
unformatted=$(git ls-files 'src/*.cpp' 'src/*.h' 'tests/*.cpp' 'tests/*.h' |
              xargs -r clang-format --dry-run 2>&1 | grep -c 'warning:' || true)
if [ "$unformatted" != "0" ]; then
    echo "clang-format: $unformatted places differ from .clang-format:"
    git ls-files 'src/*.cpp' 'src/*.h' 'tests/*.cpp' 'tests/*.h' | xargs -r clang-format --dry-run 2>&1 | head -40
    status=1
fi

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
echo "== Tests, sanitizer build =="
(cd "$top/build-asan" && ctest --output-on-failure -j "$(nproc)") || status=1
echo "== Tests, normal build =="
(cd "$top/build" && ctest --output-on-failure -j "$(nproc)") || status=1
# The benchmark's figures never fail a run; a driver that no longer works does.
if [ "$(id -u)" = 0 ]; then
    echo "== Benchmark driver, smoke run =="
    smoke=$(/usr/bin/python3 "$top/tools/bench/bench.py" --build "$top/build" --repetitions 1 \
            --idle-seconds 1 --calls 20 --flaps 2 --only plug idle details flaps 2>&1) ||
        { echo "$smoke"; status=1; }
fi
echo "== Debian package =="
time "$top/scripts/package.sh" "$top/build" || status=1
echo "== AArch64 build, unit tests under qemu =="
time "$top/scripts/cross.sh" "$top/build-arm64" || status=1
echo "== Fuzz targets, a short run of each =="
time "$top/scripts/fuzz.sh" "${NORVI_FUZZ_SECONDS:-15}" || status=1
exit $status
