#!/usr/bin/env bash
# Installs the Debian packages the build needs that this machine lacks.
set -euo pipefail
packages=(cmake ninja-build g++ clang libboost-dev libxerces-c-dev libexpat1-dev uuid-dev zlib1g-dev libssl-dev libgtest-dev libgmock-dev libbenchmark-dev)
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
