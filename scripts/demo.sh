#!/usr/bin/env bash
# Builds the project, creates a demo lab whose VMs have a disk as real VMs have (a partition table and
# an NTFS volume), runs one backup job in it the way a job manager would (with three streams reserved
# for it), and checks that what the job sent restores byte for byte.
# Usage: scripts/demo.sh [lab-dir]
# A folder is only ever replaced when this script made it as a demo lab; any other folder at that path
# is left alone and the demo stops. With QUARN_DEMO_BUILD set to a build folder that holds quarn and
# quarn-lab, that build is used as it is (nothing is installed or built).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${QUARN_DEMO_BUILD:-$root/build}"
lab="$(realpath -m "${1:-$root/demo-lab}")"
made="$build/demo-labs.txt"   # the labs this script made, one path a line
if [ -z "${QUARN_DEMO_BUILD:-}" ]; then
  bash "$root/scripts/deps.sh"
  cmake -S "$root" -B "$build" -G Ninja >/dev/null
  ninja -C "$build" quarn_host quarn-lab
fi
if [ -e "$lab" ] || [ -L "$lab" ]; then
  if [ -d "$lab" ] && [ ! -L "$lab" ] && grep -qxF -- "$lab" "$made" 2>/dev/null; then
    rm -rf -- "$lab"
  else
    echo "demo: $lab exists and is not a lab this script made; choose another folder or remove it" >&2
    exit 1
  fi
fi

# The VMs' disk: 16 MiB with an MBR partition table and one NTFS volume from its first MiB on, made
# with the system's own tools (sfdisk, mkntfs).
export PATH="$PATH:/usr/sbin:/sbin"
disk="$build/demo-disk.img"
volume="$build/demo-volume.img"
rm -f -- "$disk" "$volume"
truncate -s 16M "$disk"
echo 'start=2048, type=7' | sfdisk -q "$disk"
truncate -s 15M "$volume"
mkntfs -F -Q -q -s 512 -c 4096 -p 2048 -H 255 -S 63 -L demo "$volume" 2>/dev/null
dd if="$volume" of="$disk" bs=512 seek=2048 conv=notrunc,sparse status=none
rm -f -- "$volume"

"$build/quarn-lab" create "$lab" --disk-images "$disk"
grep -qxF -- "$lab" "$made" 2>/dev/null || echo "$lab" >> "$made"
"$build/quarn-lab" run "$lab" -- -numStreams 3
"$build/quarn-lab" verify "$lab"
echo "the whole logs: $lab/clients/<client>/Log_Files/quarn.log, of the coordinator and of each proxy:"
ls "$lab"/clients/*/Log_Files/quarn.log
