#!/usr/bin/env bash
# Installs what is needed, builds, and runs the daemon's main job in the sandbox world: a set of
# namespaces of its own with a stand-in network, so the host's network is never touched.
# Usage: scripts/demo.sh
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/scripts/setup.sh" "$top/build"
exec /usr/bin/python3 "$top/tools/sandbox/norvid-sandbox" demo "$top/build/src/norvid/norvid"

