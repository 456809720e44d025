#!/usr/bin/env bash
# Builds the project, creates a demo lab and runs one backup job in it the way a job manager would.
# Usage: scripts/demo.sh [lab-dir]
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="$root/build"
lab="${1:-$root/demo-lab}"
bash "$root/scripts/deps.sh"
cmake -S "$root" -B "$build" -G Ninja >/dev/null
ninja -C "$build" quarn_host quarn-lab
rm -rf "$lab"
"$build/quarn-lab" create "$lab"
"$build/quarn-lab" run "$lab"
