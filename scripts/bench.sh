#!/usr/bin/env bash
# Measures the data path against its references and prints the figures side by side (run by hand;
# the README's performance section keeps a run's figures). Needs about 9 GiB free in the folder.
# Usage: scripts/bench.sh [--dir DIR] [--disk-mib N] [--rounds R]   (defaults: /var/tmp/quarn-bench, 512, 2)
# restic and borg (Debian's packages restic and borgbackup) are compared with when installed.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="$root/build-bench"
bash "$root/scripts/deps.sh"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUARN_BUILD_TESTS=OFF -DQUARN_BUILD_BENCH=ON >/dev/null
ninja -C "$build" datapath_bench quarn-lab
exec python3 "$root/scripts/bench.py" --build "$build" "$@"
