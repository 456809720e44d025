#!/usr/bin/env bash
# Builds the project, creates a demo lab, runs one backup job in it the way a job manager would (with
# three streams reserved for it), and checks that what the job sent restores byte for byte.
# Usage: scripts/demo.sh [lab-dir]
# A folder is only ever replaced when this script made it as a demo lab; any other folder at that path
# is left alone and the demo stops.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="$root/build"
lab="$(realpath -m "${1:-$root/demo-lab}")"
made="$build/demo-labs.txt"   # the labs this script made, one path a line
bash "$root/scripts/deps.sh"
cmake -S "$root" -B "$build" -G Ninja >/dev/null
ninja -C "$build" quarn_host quarn-lab
if [ -e "$lab" ] || [ -L "$lab" ]; then
  if [ -d "$lab" ] && [ ! -L "$lab" ] && grep -qxF -- "$lab" "$made" 2>/dev/null; then
    rm -rf -- "$lab"
  else
    echo "demo: $lab exists and is not a lab this script made; choose another folder or remove it" >&2
    exit 1
  fi
fi
"$build/quarn-lab" create "$lab"
grep -qxF -- "$lab" "$made" 2>/dev/null || echo "$lab" >> "$made"
"$build/quarn-lab" run "$lab" -- -numStreams 3
"$build/quarn-lab" verify "$lab"
