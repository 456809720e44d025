#!/usr/bin/env bash
# Builds the project and runs every test. Usage: scripts/test.sh [build-dir] [extra cmake options...]
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$root/build}"
shift || true
bash "$root/scripts/deps.sh"
cmake -S "$root" -B "$build" -G Ninja "$@" >/dev/null
ninja -C "$build"
cd "$build"
ctest --output-on-failure -j "$(nproc)"
