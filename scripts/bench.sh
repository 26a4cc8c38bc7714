#!/usr/bin/env bash
# Installs what is needed, builds, and measures the daemon against the floor (a bare busybox
# udhcpc) in the sandbox world. Arguments go to tools/bench/bench.py (--help lists them).
# Usage: scripts/bench.sh [--repetitions N] [--idle-seconds S] [--only plug idle ...]
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/scripts/setup.sh" "$top/build"
exec /usr/bin/python3 "$top/tools/bench/bench.py" --build "$top/build" "$@"
