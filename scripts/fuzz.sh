#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (ASan/UBSan) and runs each for a while on its seed
# corpus. Usage: scripts/fuzz.sh [seconds per target, default 20] [target name pattern]
# What a run learns stays in build-fuzz/corpus/; crashes are left as build-fuzz/crash-*.
set -uo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-20}
pattern=${2:-}
build="$top/build-fuzz"

cmake -S "$top" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DCMAKE_CXX_COMPILER=clang++ -DNORVI_FUZZ=ON -DNORVI_WERROR=ON \
      ${CMAKE_CXX_COMPILER_LAUNCHER:+-DCMAKE_CXX_COMPILER_LAUNCHER=$CMAKE_CXX_COMPILER_LAUNCHER} \
      >/dev/null || exit 1
cmake --build "$build" -j "$(nproc)" || exit 1

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
status=0
for seeds in "$top"/tests/fuzz/corpus/*${pattern}*/; do
    name=$(basename "$seeds")
    mkdir -p "$build/corpus/$name"
    log="$build/$name.log"
    if (cd "$build" && "./tests/fuzz/$name" -max_total_time="$seconds" -max_len=4096 \
            -timeout=10 -rss_limit_mb=1024 -print_final_stats=1 \
            "corpus/$name" "$seeds" >"$log" 2>&1); then
        echo "$name: $(grep -m1 stat::number_of_executed_units "$log" | awk '{print $2}') inputs" \
             "in ${seconds}s, corpus $(ls "$build/corpus/$name" | wc -l)"
    else
        echo "$name: FAILED, see $log and $build/crash-*"
        grep -E -A30 '^==[0-9]+==ERROR|runtime error' "$log" | head -60
        status=1
    fi
done
exit $status
