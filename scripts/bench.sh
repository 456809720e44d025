#!/usr/bin/env bash
# Measures whole jobs of the lab tool beside their references, the in-process data path, and jobs of
# 50 to 500 VMs (run by hand; the README's performance section keeps a run's figures). Needs about
# 12 GiB free in the folder with the defaults.
# Usage: scripts/bench.sh [--dir DIR] [--disk-mib N] [--rounds R] [--only whole,inprocess,scale]
#                         [--scale-vms 50,100,250,500]          (defaults: /var/tmp/quarn-bench, 512, 1)
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="$root/build-bench"
bash "$root/scripts/deps.sh"
# The references: two other backup programs, from Debian's packages.
missing=()
command -v restic >/dev/null || missing+=(restic)
command -v borg >/dev/null || missing+=(borgbackup)
if ((${#missing[@]})); then
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}" >/dev/null
fi
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUARN_BUILD_TESTS=OFF -DQUARN_BUILD_BENCH=ON >/dev/null
ninja -C "$build" -j4 datapath_bench quarn quarn-lab
exec python3 "$root/scripts/bench.py" --build "$build" "$@"
