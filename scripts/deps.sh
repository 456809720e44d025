#!/usr/bin/env bash
# Installs the Debian packages the build needs that this machine lacks. libclang-rt-dev holds clang's
# sanitizer and fuzzer runtimes and llvm its llvm-symbolizer, which apt leaves out when it installs no
# recommended packages. fdisk, ntfs-3g, e2fsprogs and util-linux make and check the guest disk images
# of the tests (sfdisk, mkntfs, ntfscp, mke2fs, mkswap, blkid).
set -euo pipefail
packages=(cmake ninja-build g++ clang libclang-rt-dev llvm libboost-dev libxerces-c-dev libexpat1-dev uuid-dev zlib1g-dev libssl-dev libgtest-dev libgmock-dev libbenchmark-dev
          fdisk ntfs-3g e2fsprogs util-linux)
missing=()
for package in "${packages[@]}"; do
  dpkg -s "$package" >/dev/null 2>&1 || missing+=("$package")
done
if ((${#missing[@]})); then
  echo "installing: ${missing[*]}"
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}" >/dev/null
fi
